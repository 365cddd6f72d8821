#pragma once
// The time protocol library's C-style interface: asks a time server for the time with one
// RFC 868 datagram exchange, converts the 32-bit answer to calendar time, and sets the
// system clock through a replaceable table of clock operations. It keeps no sessions; the
// error is in the library's per-thread last error.
//
// Network time: unsigned seconds since 1900-01-01 00:00:00 UTC, in host byte order; 0
// means "no time".
#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/types.h"

inline constexpr uint32_t kTimePortDefault = 37;     // port 0 means this
inline constexpr uint32_t kTimeTimeoutDefault = 10;  // seconds; a timeout of 0 means this
inline constexpr uint32_t kTimeEpochOffset = 2208988800u;  // 1900-01-01 to 1970-01-01
// The server asked when the caller names none.
inline constexpr const char* kTimeDefaultServer = "time.nist.gov";

// Library frame.
void TimeProcessAttach(void* module);
void TimeProcessDetach();
int32_t TimeAttach(const char* reserved, LibVersionInfo* info);  // 1 success, 0 failure
void TimeDetach();
uint32_t TimeIsInitialized();
void TimeSetLastError(uint32_t code);
uint32_t TimeGetLastError();
uint32_t TimeGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null

// Tracing of the library's socket calls: nonzero when tracing started.
int32_t TimeEnableTrace(const char* file, int32_t flags);
int32_t TimeDisableTrace();

// One exchange with the server (host: UTF-8 name or address, null or empty for the
// built-in server; port 0: 37; timeout in seconds, 0: 10). The network time, or 0 with
// the last error.
uint32_t TimeGetNetworkTime(const char* host, uint32_t port, uint32_t timeout);

// Network time to calendar time (local: nonzero for local time); 1, or 0 when the value
// cannot be converted. Milliseconds are always 0.
int32_t TimeToSystemTime(uint32_t networkTime, SYSTEMTIME* out, int32_t local);
// A local date and time (day of week and milliseconds ignored) to network time; 0 when it
// cannot be converted or lies outside what 32 bits of seconds since 1900 can carry.
uint32_t TimeFromSystemTime(const SYSTEMTIME* local);
// Sets the system clock; 1 when it was set, else 0. The last error is left as it was.
int32_t TimeSetSystemTime(uint32_t networkTime);

// The right to set the clock: attributes 2 enables it, 0 disables it again; 1 or 0.
inline constexpr uint32_t kTimePrivilegeEnabled = 2;
int32_t TimeSetClockPrivilege(uint32_t attributes);

// The operations that touch the machine's clock. Tests install their own table so that
// the machine's clock is never changed; null restores the system's operations.
struct TimeClockOps {
  int32_t (*setPrivilege)(uint32_t attributes);      // 1 on success
  int32_t (*setSystemTime)(const SYSTEMTIME* utc);   // 1 on success
  void (*broadcastTimeChange)();                     // tells the windows the clock changed
};
void TimeSetClockOperations(const TimeClockOps* ops);
// The system's table: the process's right to set the clock (CAP_SYS_TIME), raised into
// the effective set only for the call; clock_settime; WM_TIMECHANGE posted to every
// top-level window of the process.
const TimeClockOps& TimeSystemClockOperations();

// The library's own socket calls, traced like the core's wrappers.
SOCKET SockCreateUdp(int32_t family);  // family 2 or 23
// Sends the 4 bytes at buffer to the address.
int32_t SockSendToValue(SOCKET s, const char* buffer, const void* address, int32_t length);
// Receives one datagram into the 4 bytes at buffer and its source into from (may be
// null). A longer datagram is an error (cvErrorInvalidSize) rather than silently cut.
int32_t SockRecvFromValue(SOCKET s, char* buffer, void* from, int32_t* fromLength);
