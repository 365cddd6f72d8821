// Dates of listing lines: validated fields, the year of dates listed with a time, and
// the day of the week.
#include "platform/base/time.h"
#include "ftp/listing/list_internal.h"

namespace cvftp::listing {

uint16_t DayOfWeek(unsigned year, unsigned month, unsigned day) noexcept {
  int m = int(month), y = int(year);
  if (m < 3) {
    m += 12;
    y -= 1;
  }
  return uint16_t((int(day) + (13 * m + 3) / 5 + y + y / 4 - y / 100 + y / 400 + 1) % 7);
}

ParseContext ContextNow(uint32_t systemType, bool sftp) noexcept {
  SYSTEMTIME now{};
  plat::GetLocalTime(&now);
  ParseContext c;
  c.systemType = systemType;
  c.sftp = sftp;
  c.currentYear = now.wYear;
  c.currentMonth = now.wMonth;
  return c;
}

bool SetDate(SYSTEMTIME& t, uint32_t year, uint32_t month, uint32_t day) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  t.wYear = uint16_t(year);
  t.wMonth = uint16_t(month);
  t.wDay = uint16_t(day);
  t.wDayOfWeek = DayOfWeek(year, month, day);
  return true;
}

bool SetClock(SYSTEMTIME& t, uint32_t hour, uint32_t minute) noexcept {
  if (hour > 23 || minute > 59) return false;
  t.wHour = uint16_t(hour);
  t.wMinute = uint16_t(minute);
  return true;
}

bool SetTimeOfDay(SYSTEMTIME& t, const char* token) noexcept {
  uint32_t hour = 0, minute = 0;
  const char* end = nullptr;
  if (!LeadingU32(token, hour, &end) || *end != ':' || !LeadingU32(end + 1, minute)) return false;
  return SetClock(t, hour, minute);
}

bool SetYearOrTime(SYSTEMTIME& t, const char* token, const ParseContext& context) noexcept {
  if (!token) return false;
  if (std::string_view(token).find(':') != std::string_view::npos) {
    if (!SetTimeOfDay(t, token)) return false;
    uint32_t year = context.currentYear;
    if (t.wMonth > context.currentMonth) --year;
    return SetDate(t, year, t.wMonth, t.wDay);
  }
  uint64_t year = 0;
  if (!ParseU64(token, year) || year > 9999) return false;
  return SetDate(t, uint32_t(year), t.wMonth, t.wDay);
}

bool IsWord(const char* token) noexcept {
  return token && (IsLetter(*token) || static_cast<unsigned char>(*token) >= 0x80);
}

bool ParseNamedDate(LineCursor& cursor, SYSTEMTIME& t, const ParseContext& context, const char* monthToken) noexcept {
  const uint32_t month = FtpMonthFromName(monthToken);
  uint32_t day = 0;
  if (!month && IsWord(monthToken)) {
    // A month of a language the table does not know: the entry stands, its date unknown.
    if (!LeadingU32(cursor.Next(), day) || !cursor.Next()) return false;
    t = SYSTEMTIME{};
    return true;
  }
  if (!month || !LeadingU32(cursor.Next(), day) || day < 1 || day > 31) return false;
  t.wMonth = uint16_t(month);
  t.wDay = uint16_t(day);
  return SetYearOrTime(t, cursor.Next(), context);
}

bool ExpandYear(const char* text, size_t length, uint32_t pivot, uint32_t& year) noexcept {
  if (length != 2 && length != 4) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!IsDigit(text[i])) return false;
    v = v * 10 + uint32_t(text[i] - '0');
  }
  if (length == 2) {
    v += 1900;
    if (v < pivot) v += 100;
  }
  year = v;
  return true;
}

bool ParseTimestamp(std::string_view v, SYSTEMTIME& out) noexcept {
  if (v.size() < 14) return false;
  uint32_t f[6] = {};
  static constexpr size_t kWidths[6] = {4, 2, 2, 2, 2, 2};
  size_t at = 0;
  for (int i = 0; i < 6; ++i)
    for (size_t k = 0; k < kWidths[i]; ++k, ++at) {
      if (!IsDigit(v[at])) return false;
      f[i] = f[i] * 10 + uint32_t(v[at] - '0');
    }
  SYSTEMTIME t{};
  if (!SetDate(t, f[0], f[1], f[2]) || !SetClock(t, f[3], f[4]) || f[5] > 60) return false;
  t.wSecond = uint16_t(f[5] == 60 ? 59 : f[5]);  // a leap second
  out = t;
  return true;
}

bool ParseNumericDate(const char* token, SYSTEMTIME& t) noexcept {
  uint32_t month = 0, day = 0, year = 0;
  const char* p = nullptr;
  if (!LeadingU32(token, month, &p) || *p != '-') return false;
  if (!LeadingU32(p + 1, day, &p) || *p != '-') return false;
  ++p;
  return ExpandYear(p, std::string_view(p).size(), 1980, year) && SetDate(t, year, month, day);
}

}  // namespace cvftp::listing
