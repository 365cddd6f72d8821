#pragma once
// The bridge from the libraries' task threads to a control's window. A task thread may
// report after its control is gone, so the callback never touches the control: it finds
// the control's target by cookie in a process-wide table, reads what it needs and posts.
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/frame/lib_types.h"
#include "platform/types.h"

namespace filexfer {

// Task notification message: wParam the task id, lParam MAKELONG(event, error number).
inline constexpr UINT kTaskNotifyMessage = 2026;
// Library notification message: wParam the session, lParam MAKELONG(event, error number).
inline constexpr UINT kLibraryNotifyMessage = 2025;

struct TaskNotifyTarget {
  std::atomic<HWND> window{nullptr};
  std::atomic<long> freeze{0};             // the container's events freeze counter
  std::atomic<int32_t> serverType{0};      // whose task table the ids come from
  uintptr_t cookie = 0;                    // the callback parameter given to the libraries
};

// Enters a target into the table and gives it its cookie; Unregister takes it out again,
// after which callbacks with its cookie post nothing.
void RegisterTaskTarget(const std::shared_ptr<TaskNotifyTarget>& target);
void UnregisterTaskTarget(const TaskNotifyTarget& target);

// The libraries' task callback: (task session or -1, event, error, cookie). Returns the
// result of PostMessage, or the event when nothing was posted.
int32_t TaskEventCallback(LibHandle session, uint32_t event, uint32_t error, uintptr_t parameter);

}  // namespace filexfer
