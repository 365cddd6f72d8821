// RFC 822 dates: formatting with a numeric zone, and a lenient parser with named zones.
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "mime/mime_internal.h"

namespace {

struct ZoneRow {
  const char* name;
  int32_t hours;  // east of UTC
  int32_t minutes;
};

constexpr ZoneRow kZones[] = {
    {"UTC", 0, 0},   {"GMT", 0, 0},    {"ADT", -3, 0},  {"AST", -4, 0},   {"EDT", -4, 0},  {"EST", -5, 0},
    {"CDT", -5, 0},  {"CST", -6, 0},   {"MDT", -6, 0},  {"MST", -7, 0},   {"PDT", -7, 0},  {"PST", -8, 0},
    {"AKDT", -8, 0}, {"AKST", -9, 0},  {"HDT", -9, 0},  {"HST", -10, 0},  {"BST", 1, 0},   {"BDT", 1, 0},
    {"BDST", 1, 0},  {"CET", 1, 0},    {"CEST", 2, 0},  {"EET", 2, 0},    {"EEST", 3, 0},  {"FET", 3, 0},
    {"HAEC", 2, 0},  {"MET", 1, 0},    {"MEST", 2, 0},  {"WET", 0, 0},    {"WEST", 1, 0},  {"AEST", 10, 0},
    {"AEDT", 11, 0}, {"ACST", 9, 30},  {"ACDT", 10, 30}, {"AWST", 8, 0},  {"NZST", 12, 0}, {"NZDT", 13, 0},
    {"NFT", 11, 0},  {"FJT", 12, 0},   {"FJST", 13, 0}, {"GST", 4, 0},    {"HKT", 8, 0},   {"IST", 5, 30},
    {"JST", 9, 0},   {"KST", 9, 0},    {"PHT", 8, 0},   {"EAT", 3, 0},    {"CAT", 2, 0},   {"WAT", 1, 0},
    {"WAST", 2, 0},  {"SAST", 2, 0},   {"CVT", -1, 0},  {"SCT", 4, 0},
};
static_assert(std::size(kZones) == 52);

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int32_t ZoneSecondsWest(const ZoneRow& z) {
  const int32_t minutes = (z.hours < 0 ? -z.hours : z.hours) * 60 + z.minutes;
  return z.hours > 0 ? -minutes * 60 : minutes * 60;
}

bool IsAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigits(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t)
    if (c < '0' || c > '9') return false;
  return true;
}
int32_t Number(std::string_view t) {
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > 100000) break;  // large enough to fail every range check
  }
  return int32_t(v);
}

int64_t DaysFromEpoch(int32_t year, int32_t month, int32_t day) {
  static const int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  auto leap = [](int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  int64_t days = 0;
  for (int32_t y = 1970; y < year; ++y) days += leap(y) ? 366 : 365;
  days += kBefore[month - 1] + (month > 2 && leap(year) ? 1 : 0);
  return days + day - 1;
}

// The zone of the local time now, seconds west.
int32_t LocalZoneNow() {
  tzset();
  time_t now = ::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return int32_t(timezone) - (local.tm_isdst > 0 ? 3600 : 0);
}

}  // namespace

namespace cvmime {

std::string FormatDate(uint32_t time, int32_t zone) {
  if (time == 0 && zone == -1) zone = LocalZoneNow();
  const int64_t when = time == 0 ? int64_t(::time(nullptr)) : int64_t(time);
  const time_t shifted = time_t(when - zone);
  struct tm t;
  if (!gmtime_r(&shifted, &t)) return {};
  const int32_t abszone = zone < 0 ? -zone : zone;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d %c%02d%02d", kDays[t.tm_wday], t.tm_mday,
                kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, zone <= 0 ? '+' : '-',
                abszone / 3600, abszone % 3600 / 60);
  return text;
}

}  // namespace cvmime

char* MimeFormatDate(uint32_t time, int32_t zone, char* buffer, int32_t size) {
  if (!buffer) return cvmime::Library().Finish<char*>(cvcore::Status(cvErrorInvalidParameter), nullptr, nullptr);
  const std::string text = cvmime::FormatDate(time, zone);
  if (text.empty()) return nullptr;
  cvmime::CopyOut(text, buffer, size);
  return buffer;
}

cvcore::Status cvmime::ParseDate(const char* input, uint32_t options, uint32_t* timeOut, int32_t* zoneOut) {
  if (!input || !*input) return Status(cvErrorInvalidDateFormat);
  const std::string_view text(input);
  int32_t hours = -1, minutes = -1, seconds = -1, timeFields = 0;
  int32_t month = 0, day = 0, year = -1;
  int32_t monthNumber = 0;  // the number the month was read from, when it was
  bool zoneFound = false;
  int32_t zone = 0;

  size_t i = 0;
  while (i < text.size()) {
    if (!IsAlnum(text[i])) {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < text.size() && IsAlnum(text[i])) ++i;
    const std::string_view token = text.substr(start, i - start);

    if (hours >= 0 && !zoneFound) {
      const std::string_view rest = cvmime::Trim(text.substr(start));
      const std::string_view restParen = start > 0 ? cvmime::Trim(text.substr(start - 1)) : std::string_view();
      if (cvmime::IEquals(rest, "GMT") || cvmime::IEquals(restParen, "(GMT)")) {
        zoneFound = true;
        zone = 0;
        i = text.size();
        continue;
      }
      if (std::isalpha(static_cast<unsigned char>(token[0]))) {
        for (const ZoneRow& z : kZones) {
          if (cvmime::IEquals(token, z.name)) {
            zoneFound = true;
            zone = ZoneSecondsWest(z);
            break;
          }
        }
        if (zoneFound) continue;
      }
      if (token.size() == 4 && IsDigits(token) && (i == text.size() || cvmime::IsWhite(text[i]))) {
        const int32_t v = Number(token);
        const int32_t secs = (v / 100 * 60 + v % 100) * 60;
        zone = start > 0 && text[start - 1] == '-' ? secs : -secs;
        zoneFound = true;
        continue;
      }
    }

    const bool timeField = (i < text.size() && text[i] == ':') || (start > 0 && text[start - 1] == ':');
    if (timeField) {
      const int32_t v = Number(token);
      ++timeFields;
      if (timeFields == 1) hours = v;
      else if (timeFields == 2) minutes = v;
      else if (timeFields == 3) seconds = v;
      continue;
    }
    if (cvmime::IEquals(token, "AM")) {
      if (hours == 12) hours = 0;
      continue;
    }
    if (cvmime::IEquals(token, "PM")) {
      if (hours >= 0 && hours < 12) hours += 12;
      continue;
    }
    if (month && day && year >= 0) continue;
    if (!month || !day) {
      bool named = false;
      for (int32_t m = 0; m < 12 && token.size() >= 3; ++m) {
        if (cvmime::IEquals(token.substr(0, 3), kMonths[m])) {
          if (month && monthNumber && !day) day = monthNumber;
          month = m + 1;
          monthNumber = 0;
          named = true;
          break;
        }
      }
      if (named) continue;
    }
    if (IsDigits(token)) {
      const int32_t v = Number(token);
      if (!month && v <= 12) {
        if (v > 0) {
          month = v;
          monthNumber = v;
        }
      } else if (!day && v <= 31) {
        if (v > 0) day = v;
      } else if (year < 0) {
        year = v < 70 ? v + 2000 : v;
      }
    }
  }

  if (year >= 0 && year < 100) year += 1900;
  if (hours < 0) hours = 0;
  if (minutes < 0) minutes = 0;
  if (seconds < 0) seconds = 0;
  if (year < 1970 || year > 3000 || month < 1 || month > 12 || day < 1 || day > 31 || hours > 23 || minutes > 59 ||
      seconds > 59)
    return Status(cvErrorInvalidDateFormat);
  int64_t when = ((DaysFromEpoch(year, month, day) * 24 + hours) * 60 + minutes) * 60 + seconds;
  if (zoneFound) when += zone;
  if (options) {
    const time_t t = time_t(when);
    struct tm local;
    tzset();
    if (!localtime_r(&t, &local)) return Status(cvErrorInvalidDateFormat);
    zone = int32_t(-local.tm_gmtoff);
  } else if (!zoneFound) {
    zone = 0;
  }
  if (timeOut) *timeOut = uint32_t(when);
  if (zoneOut) *zoneOut = zone;
  return Status();
}

int32_t MimeParseDate(const char* input, uint32_t options, uint32_t* timeOut, int32_t* zoneOut) {
  return cvmime::Library().Finish(cvmime::ParseDate(input, options, timeOut, zoneOut), 1, 0);
}
