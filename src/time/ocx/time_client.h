#pragma once
// CTimeClient: the TimeClient control. It asks a time server for the time through the
// time library, keeps the last time it read for the date and time properties, sets the
// system clock from it, and runs a general interval timer on its window.
#include <string>

#include "ocx/client_members.h"
#include "ocx/control.h"
#include "platform/msg/msg_types.h"
#include "time/ocx/time_client_events.h"
#include "time/ocx/time_client_iface.h"

namespace timectl {

extern const ocx::ControlDescriptor kTimeClientDescriptor;
// The type library TimeClientCtl.
const plat::com::TypeLibDesc& TimeClientTypeLibrary();

inline constexpr plat::UINT_PTR kIntervalTimerId = 1;
inline constexpr int32_t kMaxInterval = 65534;  // milliseconds

// Everything Reset restores, with its default.
struct TimeClientSettings {
  bool autoResolve = false;
  std::u16string hostAddress, hostName;
  uint32_t interval = 0;
  uint32_t lastNetworkTime = 0;  // of the last GetTime; 0 when it failed or none ran
  uint32_t remotePort = 0;       // 0 stands for 37
  bool throwError = false;
  int32_t timeout = 10;  // seconds; 0 means 10
  bool trace = false;
  std::u16string traceFile;
  int32_t traceFlags = 0;
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_TIMECLIENT_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CTimeClient final : public ocx::Control<ITimeClient>, public CProxy_ITimeClientEvents<CTimeClient> {
 public:
  explicit CTimeClient(IUnknown* outer);
  ~CTimeClient() override = default;

  ITIMECLIENT_MEMBERS(CV_TIMECLIENT_DECLARE)

  const TimeClientSettings& Settings() const { return s_; }
  bool TimerRunning() const { return timerId_ != 0; }

 protected:
  void FinalRelease() override;
  bool ThrowErrors() override { return true; }  // a failed lazy initialise is always reported
  void FireError(uint32_t code, BSTR text) override;
  void OnLibrariesAttached() override;
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  template <class, class>
  friend struct ocx::ClientMembers;
  template <class>
  friend struct ocx::ControlMembers;

  // The error reporter without OnError; a timeout or cancel code fires its event after.
  HRESULT Report(uint32_t code, bool returnFlag);
  // Takes an address or service helper's failure (in the thread's last error) into the
  // library's last error and reports it.
  HRESULT ReportHelperFailure();
  void StartTrace();
  void StopTimer();
  void RestartTimer();
  // The last network time as text: date or time of day, local or UTC; empty when none.
  HRESULT DateProperty(bool local, bool date, BSTR* value);
  bool Enabled();

  TimeClientSettings s_;
  plat::UINT_PTR timerId_ = 0;
  bool inTimer_ = false;
  std::u16string version_;  // built on first read
};

}  // namespace timectl
