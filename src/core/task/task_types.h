#pragma once
// The records of a library's background tasks: the table of task slots every library
// keeps in its library state, the record of one task, the request of a file transfer
// task and the status a control reads.
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "platform/base/thread.h"

namespace cvcore {

inline constexpr uint32_t kTaskSlots = 128;
// Worker threads start with this stack; a transfer needs no more.
inline constexpr size_t kTaskStackSize = 0x80000;

// Events given to a task's callback (handle, event, error, parameter).
inline constexpr uint32_t kTaskEventBegin = 1;
inline constexpr uint32_t kTaskEventEnd = 2;
inline constexpr uint32_t kTaskEventProgress = 512;

// Task record flags. The published ones come first; the others are the engine's own
// bookkeeping of an abort racing the worker's start.
inline constexpr uint32_t kTaskSuspended = 0x1;
inline constexpr uint32_t kTaskFinished = 0x2;
inline constexpr uint32_t kTaskAbortedByExit = 0x1000;
inline constexpr uint32_t kTaskAbortRequested = 0x2000;
inline constexpr uint32_t kTaskStarted = 0x4000;
inline constexpr uint32_t kTaskOrphaned = 0x8000;  // taken out by its own worker: freed by it

// Answers of the status queries.
inline constexpr int32_t kTaskStateRunning = 1;
inline constexpr int32_t kTaskStateSuspended = 2;
inline constexpr int32_t kTaskStateFinished = 4;

// A task callback: the control's task-event callback, or any function of that shape.
using TaskCallback = NotifyCallback;

// One task. Other threads read flags, result and ticks without the lock; the rest is set
// before the worker runs (or, for the final status, before the finished flag).
template <typename FinalStatus>
struct TaskRecord {
  std::atomic<LibHandle> session{kInvalidLibHandle};  // the worker's own session, or -1
  uint32_t slot = 0;
  uint32_t id = 0;
  uint32_t creatorThread = 0;
  uint32_t workerThread = 0;
  std::atomic<uint32_t> flags{0};
  std::atomic<uint32_t> result{0};
  uint32_t startTick = 0;
  std::atomic<uint32_t> endTick{0};  // 0 while the task runs
  TaskCallback eventCallback = nullptr;
  uintptr_t callbackParameter = 0;  // the task id when the request gives none
  FinalStatus finalStatus{};        // copied from the worker's session on success
  std::shared_ptr<plat::Thread> thread;

  bool Finished() const noexcept { return flags.load() & kTaskFinished; }
  bool Suspended() const noexcept { return flags.load() & kTaskSuspended; }
};

// The library-wide table: a null pointer is a free slot. Guarded by the library lock,
// except the id counter.
template <typename Record>
struct TaskTable {
  Record* slots[kTaskSlots] = {};
  std::atomic<uint32_t> lastId{0};  // the first task gets 1
};

// A file transfer request of the file-transfer library.
inline constexpr uint32_t kTaskGetFile = 1;
inline constexpr uint32_t kTaskPutFile = 3;
inline constexpr uint32_t kTaskNameSize = 5120;

struct TaskRequest {
  uint32_t opcode;
  LibHandle session;  // the caller's session, whose settings the worker copies
  uint32_t options;
  uint64_t offset;  // restart offset
  TaskCallback eventCallback;
  uintptr_t callbackParameter;
  char localFile[kTaskNameSize];
  char remoteFile[kTaskNameSize];
};

// What a control reads of a task.
struct TaskStatus {
  uint32_t fileSize;
  uint32_t bytesCopied;
  uint32_t bytesPerSecond;
  uint32_t elapsedTime;
  uint32_t remainingTime;
  char localFile[512];
  char remoteFile[512];
};

// A size as a 32-bit count: all bits set when it does not fit.
constexpr uint32_t TaskSize32(uint64_t size) noexcept {
  return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(size);
}

}  // namespace cvcore
