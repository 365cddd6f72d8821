#pragma once
// SIGINT and SIGTERM stop the host. The handler only records the signal and writes a byte
// into a self-pipe. A watcher thread turns that byte into a message sent to the host's
// window: messages sent from another thread are served inside every library wait, so the
// host can cancel a step that blocks without the library's help. A second signal ends the
// process at once.
#include <atomic>
#include <thread>

#include "platform/msg/msg_types.h"

namespace cvhost {

// The message the watcher sends to the window when the first signal arrives. The window
// answers kStepCancelled when it cancelled a running step, else 0.
inline constexpr UINT kStopRequested = 0x8000 + 1;  // WM_APP + 1
inline constexpr LRESULT kStepCancelled = 1;

// Installs the handlers and holds the signals back from the calling thread and the threads
// it starts; call once, before any step runs.
void InstallStopSignals();
// Lets the signals reach the calling thread again, once the watcher is gone.
void ReleaseStopSignals();
// The signal that asked the host to stop, or 0.
int StopSignal();
// Readable once a signal arrived (level-triggered: it stays readable), or -1.
int StopSignalFd();

// Sends kStopRequested to a window of the calling thread when a signal arrives; the
// thread ends with the object. A step cancelled then that has not ended a second later
// ends the process (128 + the signal): its wait did not watch the control's cancel.
class StopWatcher {
 public:
  explicit StopWatcher(HWND window);
  ~StopWatcher();
  StopWatcher(const StopWatcher&) = delete;
  StopWatcher& operator=(const StopWatcher&) = delete;

  // The cancelled step returned: the host releases the control at its own pace.
  void StepEnded();

 private:
  void Run(HWND window);
  void Wake();
  int quit_[2] = {-1, -1};  // wakes the thread: closing, or the step ended
  std::atomic<bool> closing_{false};
  std::atomic<bool> stepEnded_{false};
  std::thread thread_;
};

}  // namespace cvhost
