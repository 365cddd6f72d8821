// Network time <-> calendar time through the C library's conversions (and so through TZ).
#include <time.h>

#include <cstdint>

#include "time/time.h"

namespace {

// Like the conversions the protocol was first paired with, UTC accepts at most 12 hours
// before 1970 (the widest zone offset) and local time nothing before 1970.
constexpr uint32_t kEarliestUtc = kTimeEpochOffset - 12 * 3600;
constexpr uint32_t kEarliestLocal = kTimeEpochOffset;

}  // namespace

int32_t TimeToSystemTime(uint32_t networkTime, SYSTEMTIME* out, int32_t local) {
  if (!out) return 0;
  if (networkTime < (local ? kEarliestLocal : kEarliestUtc)) return 0;
  const time_t seconds = time_t(int64_t(networkTime) - int64_t(kTimeEpochOffset));
  tm fields{};
  if (!(local ? localtime_r(&seconds, &fields) : gmtime_r(&seconds, &fields))) return 0;
  out->wYear = WORD(fields.tm_year + 1900);
  out->wMonth = WORD(fields.tm_mon + 1);
  out->wDayOfWeek = WORD(fields.tm_wday);
  out->wDay = WORD(fields.tm_mday);
  out->wHour = WORD(fields.tm_hour);
  out->wMinute = WORD(fields.tm_min);
  out->wSecond = WORD(fields.tm_sec);
  out->wMilliseconds = 0;
  return 1;
}

uint32_t TimeFromSystemTime(const SYSTEMTIME* local) {
  if (!local) return 0;
  tm fields{};
  fields.tm_year = int(local->wYear) - 1900;
  fields.tm_mon = int(local->wMonth) - 1;
  fields.tm_mday = local->wDay;
  fields.tm_hour = local->wHour;
  fields.tm_min = local->wMinute;
  fields.tm_sec = local->wSecond;
  // The C library decides whether daylight saving applies at that local time, so a local
  // time read back from TimeToSystemTime names the same instant again.
  fields.tm_isdst = -1;
  const time_t seconds = mktime(&fields);
  if (seconds == time_t(-1)) return 0;
  // Outside 1900 to 2036 the 32-bit count would wrap to a different instant.
  const int64_t value = int64_t(seconds) + int64_t(kTimeEpochOffset);
  if (value <= 0 || value > int64_t(UINT32_MAX)) return 0;
  return uint32_t(value);
}
