#include "platform/base/time.h"

#include <time.h>

#include <cmath>

namespace plat {

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kSecondsPerDay = 86400;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochSeconds = 11644473600LL;
// Days from 1899-12-30 (OLE date 0) to 1970-01-01.
constexpr int64_t kOleEpochDays = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date (any year).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

bool Valid(const SYSTEMTIME& st) {
  return st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) &&
         st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// Milliseconds since 1970 of the fields (ignoring the weekday).
int64_t ToUnixMs(const SYSTEMTIME& st) {
  int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
  return ((days * 24 + st.wHour) * 60 + st.wMinute) * 60000 + int64_t(st.wSecond) * 1000 + st.wMilliseconds;
}

// Fields of milliseconds since 1970; false outside the years 0..65535.
bool FromUnixMs(int64_t ms, SYSTEMTIME& st) {
  int64_t days = ms >= 0 ? ms / (kSecondsPerDay * 1000) : -((-ms + kSecondsPerDay * 1000 - 1) / (kSecondsPerDay * 1000));
  int64_t rest = ms - days * kSecondsPerDay * 1000;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  if (y < 0 || y > 65535) return false;
  st.wYear = WORD(y);
  st.wMonth = WORD(m);
  st.wDay = WORD(d);
  st.wDayOfWeek = WORD(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  st.wHour = WORD(rest / 3600000);
  st.wMinute = WORD(rest / 60000 % 60);
  st.wSecond = WORD(rest / 1000 % 60);
  st.wMilliseconds = WORD(rest % 1000);
  return true;
}

int64_t FileTimeToUnixMs(const FILETIME& ft) {
  return int64_t(FileTimeToU64(ft) / kTicksPerMs) - kUnixEpochSeconds * 1000;
}

bool UnixMsToFileTime(int64_t ms, FILETIME& ft) {
  int64_t since1601 = ms + kUnixEpochSeconds * 1000;
  if (since1601 < 0 || since1601 > INT64_MAX / kTicksPerMs) return false;
  ft = U64ToFileTime(uint64_t(since1601) * kTicksPerMs);
  return true;
}

// Offset of local time from UTC (seconds) at the UTC instant t.
int64_t OffsetAtUtc(int64_t t) {
  time_t tt = time_t(t);
  tm local{};
  if (!localtime_r(&tt, &local)) return 0;
  return local.tm_gmtoff;
}

// Offset at the local wall-clock time (an ambiguous or skipped time takes mktime's choice).
int64_t OffsetAtLocal(int64_t localSeconds) {
  // Take the offset in force one guess away and correct once: exact outside transitions.
  int64_t guess = OffsetAtUtc(localSeconds);
  return OffsetAtUtc(localSeconds - guess);
}

void NowUnixMs(int64_t& ms) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  ms = int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

uint64_t FileTimeToU64(const FILETIME& ft) noexcept {
  return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME U64ToFileTime(uint64_t v) noexcept { return FILETIME{DWORD(v), DWORD(v >> 32)}; }

int64_t FileTimeToUnix(const FILETIME& ft) noexcept {
  return int64_t(FileTimeToU64(ft) / kTicksPerSecond) - kUnixEpochSeconds;
}

FILETIME UnixToFileTime(int64_t seconds) noexcept {
  FILETIME ft{};
  UnixMsToFileTime(seconds * 1000, ft);
  return ft;
}

void GetSystemTime(SYSTEMTIME* out) noexcept {
  int64_t ms;
  NowUnixMs(ms);
  FromUnixMs(ms, *out);
}

void GetLocalTime(SYSTEMTIME* out) noexcept {
  int64_t ms;
  NowUnixMs(ms);
  FromUnixMs(ms + OffsetAtUtc(ms / 1000) * 1000, *out);
}

void GetSystemTimeAsFileTime(FILETIME* out) noexcept {
  int64_t ms;
  NowUnixMs(ms);
  UnixMsToFileTime(ms, *out);
}

bool SystemTimeToFileTime(const SYSTEMTIME* in, FILETIME* out) noexcept {
  if (!in || !out || !Valid(*in) || in->wYear < 1601 || in->wYear > 30827) return false;
  return UnixMsToFileTime(ToUnixMs(*in), *out);
}

bool FileTimeToSystemTime(const FILETIME* in, SYSTEMTIME* out) noexcept {
  if (!in || !out || (in->dwHighDateTime & 0x80000000u)) return false;
  return FromUnixMs(FileTimeToUnixMs(*in), *out);
}

bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) noexcept {
  if (!utc || !local) return false;
  int64_t ms = FileTimeToUnixMs(*utc);
  return UnixMsToFileTime(ms + OffsetAtUtc(ms / 1000) * 1000, *local);
}

bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) noexcept {
  if (!local || !utc) return false;
  int64_t ms = FileTimeToUnixMs(*local);
  return UnixMsToFileTime(ms - OffsetAtLocal(ms / 1000) * 1000, *utc);
}

bool SystemTimeToLocalTime(const SYSTEMTIME* utc, SYSTEMTIME* local) noexcept {
  FILETIME a, b;
  return SystemTimeToFileTime(utc, &a) && FileTimeToLocalFileTime(&a, &b) && FileTimeToSystemTime(&b, local);
}

bool LocalTimeToSystemTime(const SYSTEMTIME* local, SYSTEMTIME* utc) noexcept {
  FILETIME a, b;
  return SystemTimeToFileTime(local, &a) && LocalFileTimeToFileTime(&a, &b) && FileTimeToSystemTime(&b, utc);
}

bool SystemTimeToVariantTime(const SYSTEMTIME* in, DATE* out) noexcept {
  if (!in || !out) return false;
  SYSTEMTIME st = *in;
  st.wMilliseconds = 0;
  if (!Valid(st) || st.wYear < 100 || st.wYear > 9999) return false;
  double days = double(DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kOleEpochDays);
  double frac = (st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond) / double(kSecondsPerDay);
  // Before 1899-12-30 the integer part counts days backwards while the fraction still
  // runs forwards through the day: -1.25 is 1899-12-29 06:00.
  *out = days >= 0 ? days + frac : days - frac;
  return true;
}

bool VariantTimeToSystemTime(DATE in, SYSTEMTIME* out) noexcept {
  if (!out || !std::isfinite(in) || in < -657434.0 || in >= 2958466.0) return false;
  double whole = std::trunc(in);
  double frac = std::fabs(in - whole);
  int64_t secs = std::llround(frac * double(kSecondsPerDay));
  int64_t days = int64_t(whole);
  if (secs >= kSecondsPerDay) {  // rounded up to midnight of the next calendar day
    secs -= kSecondsPerDay;
    days += 1;
  }
  int64_t unixMs = ((days - kOleEpochDays) * kSecondsPerDay + secs) * 1000;
  SYSTEMTIME st{};
  if (!FromUnixMs(unixMs, st) || st.wYear < 100 || st.wYear > 9999) return false;
  *out = st;
  return true;
}

}  // namespace plat
