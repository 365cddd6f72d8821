#include "filexfer/ocx/task_notify.h"

#include <map>
#include <mutex>

#include "core/task/task_types.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "platform/msg/msg.h"

namespace filexfer {
namespace {

struct TargetTable {
  std::mutex lock;
  uintptr_t next = 0;
  std::map<uintptr_t, std::shared_ptr<TaskNotifyTarget>> targets;
};

TargetTable& Table() {
  static TargetTable* table = new TargetTable;  // outlives every task thread at exit
  return *table;
}

}  // namespace

void RegisterTaskTarget(const std::shared_ptr<TaskNotifyTarget>& target) {
  TargetTable& t = Table();
  std::lock_guard lk(t.lock);
  target->cookie = ++t.next;
  t.targets[target->cookie] = target;
}

void UnregisterTaskTarget(const TaskNotifyTarget& target) {
  TargetTable& t = Table();
  std::lock_guard lk(t.lock);
  t.targets.erase(target.cookie);
}

int32_t TaskEventCallback(LibHandle session, uint32_t event, uint32_t error, uintptr_t parameter) {
  std::shared_ptr<TaskNotifyTarget> target;
  {
    TargetTable& t = Table();
    std::lock_guard lk(t.lock);
    auto it = t.targets.find(parameter);
    if (it != t.targets.end()) target = it->second;
  }
  if (!target) return int32_t(event);
  // A session of -1 is looked up by the calling worker thread.
  const int32_t type = target->serverType.load();
  uint32_t id = 0;
  if (type == 1)
    id = FtpTaskIdFromSession(session);
  else if (type == 2)
    id = HttpTaskIdFromSession(session);
  HWND window = target->window.load();
  if (!window) return int32_t(event);
  // While the container holds events back only the begin and end of tasks are posted.
  if (target->freeze.load() >= 1 && event != cvcore::kTaskEventBegin && event != cvcore::kTaskEventEnd)
    return int32_t(event);
  const LPARAM lParam = LPARAM((event & 0xFFFFu) | (error & 0xFFFFu) << 16);
  return plat::PostMessage(window, kTaskNotifyMessage, WPARAM(id), lParam) ? 1 : 0;
}

}  // namespace filexfer
