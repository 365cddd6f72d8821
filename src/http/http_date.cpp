// Dates of HTTP headers: the usual HTTP and mail forms, hyphenated dates with two-digit
// years, numeric dates, 12-hour times and numeric zones.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <string>

#include "http/http_internal.h"

namespace {

constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};

bool IsAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool RestIsGmt(const std::string& text, size_t i) {
  size_t end = text.size();
  while (end > i && IsSpace(text[end - 1])) --end;
  const std::string rest = text.substr(i, end - i);
  return strcasecmp(rest.c_str(), "GMT") == 0 || strcasecmp(rest.c_str(), "(GMT)") == 0;
}

}  // namespace

namespace cvhttp {

Status ParseDate(const char* text, uint32_t local, uint32_t* seconds, int32_t* zone) noexcept {
  if (seconds) *seconds = 0;
  if (zone) *zone = 0;
  if (!text || !*text) return Status(cvErrorInvalidDateFormat);
  const std::string t = text;
  const size_t n = t.size();
  int32_t hms[3] = {0, 0, 0};
  int seen = 0;  // hour, minute, second filled in order
  int64_t day = -1, month = -1, year = -1, monthNumber = -1;
  int64_t offset = 0;
  bool zoneSeen = false, previousColon = false;

  size_t i = 0;
  while (i < n) {
    const char c = t[i];
    if (seen > 0 && !zoneSeen && (IsAlnum(c) || c == '+' || c == '-' || c == '(')) {
      if (RestIsGmt(t, i)) {
        zoneSeen = true;
        break;
      }
      size_t j = i + ((c == '+' || c == '-') ? 1 : 0);
      if (j + 4 <= n && std::isdigit(static_cast<unsigned char>(t[j])) &&
          std::isdigit(static_cast<unsigned char>(t[j + 1])) && std::isdigit(static_cast<unsigned char>(t[j + 2])) &&
          std::isdigit(static_cast<unsigned char>(t[j + 3])) && (j + 4 == n || IsSpace(t[j + 4]))) {
        const int64_t hh = (t[j] - '0') * 10 + (t[j + 1] - '0');
        const int64_t mm = (t[j + 2] - '0') * 10 + (t[j + 3] - '0');
        offset = (hh * 60 + mm) * 60;
        if (c != '-') offset = -offset;
        zoneSeen = true;
        i = j + 4;
        previousColon = false;
        continue;
      }
    }
    if (!IsAlnum(c)) {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < n && IsAlnum(t[i])) ++i;
    const std::string token = t.substr(start, i - start);
    const bool endedByColon = i < n && t[i] == ':';
    bool digits = true;
    int64_t value = 0;
    for (char d : token) {
      if (!std::isdigit(static_cast<unsigned char>(d))) {
        digits = false;
        break;
      }
      if (value < 100000) value = value * 10 + (d - '0');
    }
    if (endedByColon || previousColon) {
      if (seen < 3) hms[seen++] = int32_t(digits ? value : 0);
    } else if (strcasecmp(token.c_str(), "am") == 0) {
      if (hms[0] == 12) hms[0] = 0;
    } else if (strcasecmp(token.c_str(), "pm") == 0) {
      if (hms[0] < 12) hms[0] += 12;
    } else if (month != -1 && day != -1 && year != -1) {
      // everything is known
    } else if (!digits) {
      if ((month == -1 || day == -1) && token.size() >= 3) {
        for (int m = 0; m < 12; ++m) {
          if (strncasecmp(token.c_str(), kMonths[m], 3) == 0) {
            if (monthNumber != -1 && day == -1) day = monthNumber;
            month = m + 1;
            monthNumber = -1;
            break;
          }
        }
      }
    } else if (month == -1 && value <= 12) {
      if (value != 0) {
        month = value;
        monthNumber = value;
      }
    } else if (day != -1 || value > 31) {
      if (year == -1) year = value < 70 ? value + 2000 : value;
    } else if (value != 0) {
      day = value;
    }
    previousColon = endedByColon;
  }

  if (year < 100) year += 1900;
  if (year < 1970 || year > 3000 || month < 1 || month > 12 || day < 1 || day > 31 || hms[0] > 23 || hms[1] > 59 ||
      hms[2] > 59)
    return Status(cvErrorInvalidDateFormat);
  const int64_t total = DaysFromCivil(year, month, day) * 86400 + hms[0] * 3600 + hms[1] * 60 + hms[2] + offset;
  // The result is 32-bit seconds: a date it cannot hold fails rather than wrap to another.
  if (total < 0 || total > int64_t(UINT32_MAX)) return Status(cvErrorInvalidDateFormat);
  int32_t zoneOut = 0;
  if (local) {
    std::tm tm{};
    tm.tm_year = int(year - 1900);
    tm.tm_mon = int(month - 1);
    tm.tm_mday = int(day);
    tm.tm_hour = hms[0];
    tm.tm_min = hms[1];
    tm.tm_sec = hms[2];
    tm.tm_isdst = -1;
    tzset();
    if (std::mktime(&tm) == time_t(-1)) return Status(cvErrorInvalidDateFormat);
    zoneOut = int32_t(timezone) - (tm.tm_isdst > 0 ? 3600 : 0);
  }
  if (seconds) *seconds = uint32_t(total);
  if (zone) *zone = local ? zoneOut : int32_t(offset);
  return {};
}

}  // namespace cvhttp

int32_t HttpParseDate(const char* text, uint32_t local, uint32_t* seconds, int32_t* zone) {
  return cvhttp::Finish(cvhttp::ParseDate(text, local, seconds, zone), 1, 0);
}

void HttpDateToSystemTime(uint32_t seconds, SYSTEMTIME* time) {
  if (!time) return;
  const time_t t = time_t(seconds);
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return;
  *time = SYSTEMTIME{};
  time->wYear = WORD(tm.tm_year + 1900);
  time->wMonth = WORD(tm.tm_mon + 1);
  time->wDayOfWeek = WORD(tm.tm_wday);
  time->wDay = WORD(tm.tm_mday);
  time->wHour = WORD(tm.tm_hour);
  time->wMinute = WORD(tm.tm_min);
  time->wSecond = WORD(tm.tm_sec);
}
