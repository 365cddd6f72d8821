// Setting the system clock: the right to do so is switched on only around the change, and
// the process's windows hear of it afterwards. Every step goes through the clock
// operations table, which tests replace.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/base/time.h"
#include "platform/msg/message.h"
#include "platform/msg/window.h"
#include "time/time_library.h"

namespace {

constexpr UINT kWmTimeChange = 0x001E;

// The process's right to set the clock is CAP_SYS_TIME: "enabled" means in the effective
// set. A right that is permitted but not effective is raised for the change and lowered
// again; one that was already effective is left as it was found.
struct CapSets {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
};

thread_local bool raisedByUs = false;  // capabilities belong to the thread on Linux

bool ReadCaps(CapSets& c) { return syscall(SYS_capget, &c.header, c.data) == 0; }
bool WriteCaps(CapSets& c) { return syscall(SYS_capset, &c.header, c.data) == 0; }

int32_t SystemSetPrivilege(uint32_t attributes) {
  CapSets c;
  if (!ReadCaps(c)) return 0;
  const uint32_t bit = 1u << CAP_SYS_TIME;
  const bool effective = c.data[0].effective & bit;
  if (attributes & kTimePrivilegeEnabled) {
    if (!(c.data[0].permitted & bit)) return 0;
    if (effective) return 1;
    c.data[0].effective |= bit;
    if (!WriteCaps(c)) return 0;
    raisedByUs = true;
    return 1;
  }
  if (!raisedByUs || !effective) return 1;
  c.data[0].effective &= ~bit;
  if (!WriteCaps(c)) return 0;
  raisedByUs = false;
  return 1;
}

int32_t SystemSetTime(const SYSTEMTIME* utc) {
  FILETIME ft;
  if (!utc || !plat::SystemTimeToFileTime(utc, &ft)) return 0;
  const timespec ts{plat::FileTimeToUnix(ft), 0};
  return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 1 : 0;
}

// Posted rather than sent: a window of a busy thread must not hold the caller up.
BOOL PostTimeChange(HWND window, LPARAM) {
  plat::PostMessage(window, kWmTimeChange, 0, 0);
  return TRUE_;
}

void SystemBroadcastTimeChange() { plat::EnumChildWindows(nullptr, PostTimeChange, 0); }

const TimeClockOps kSystemClock{SystemSetPrivilege, SystemSetTime, SystemBroadcastTimeChange};

}  // namespace

const TimeClockOps& TimeSystemClockOperations() { return kSystemClock; }

int32_t TimeSetClockPrivilege(uint32_t attributes) { return cvtime::ClockOps().setPrivilege(attributes); }

int32_t TimeSetSystemTime(uint32_t networkTime) {
  using namespace cvtime;
  const uint32_t kept = Library().GetLastError();
  const TimeClockOps& ops = ClockOps();
  SYSTEMTIME utc{};
  bool set = false;
  if (networkTime != 0 && TimeToSystemTime(networkTime, &utc, 0) && ops.setPrivilege(kTimePrivilegeEnabled)) {
    const bool changed = ops.setSystemTime(&utc) != 0;
    const bool lowered = ops.setPrivilege(0) != 0;
    set = changed && lowered;
    if (set) ops.broadcastTimeChange();
  }
  Library().SetLastError(kept);
  return set ? 1 : 0;
}
