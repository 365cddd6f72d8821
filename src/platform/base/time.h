#pragma once
// Calendar time: SYSTEMTIME, FILETIME and OLE DATE conversions, and local time through
// the C library (and so through TZ). Conversions return false for fields out of range.
#include <cstdint>

#include "platform/types.h"

namespace plat {

void GetSystemTime(SYSTEMTIME* out) noexcept;  // now, UTC
void GetLocalTime(SYSTEMTIME* out) noexcept;   // now, local time
void GetSystemTimeAsFileTime(FILETIME* out) noexcept;

bool SystemTimeToFileTime(const SYSTEMTIME* in, FILETIME* out) noexcept;
bool FileTimeToSystemTime(const FILETIME* in, SYSTEMTIME* out) noexcept;

// UTC <-> local with the offset that applies at that instant (daylight saving included).
bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) noexcept;
bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) noexcept;
bool SystemTimeToLocalTime(const SYSTEMTIME* utc, SYSTEMTIME* local) noexcept;
bool LocalTimeToSystemTime(const SYSTEMTIME* local, SYSTEMTIME* utc) noexcept;

// OLE dates cover the years 100 to 9999; milliseconds are ignored one way and the date is
// rounded to the nearest second the other way, as Automation does.
bool SystemTimeToVariantTime(const SYSTEMTIME* in, DATE* out) noexcept;
bool VariantTimeToSystemTime(DATE in, SYSTEMTIME* out) noexcept;

// FILETIME as one 64-bit number, and Unix seconds.
uint64_t FileTimeToU64(const FILETIME& ft) noexcept;
FILETIME U64ToFileTime(uint64_t v) noexcept;
int64_t FileTimeToUnix(const FILETIME& ft) noexcept;
FILETIME UnixToFileTime(int64_t seconds) noexcept;

}  // namespace plat
