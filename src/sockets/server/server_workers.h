#pragma once
// The threads that serve a server's clients. Each client still has a thread of its own for
// as long as it is connected, but a thread whose client has gone waits a while for the next
// one instead of ending: starting a thread and waiting until the system first schedules it
// cost the listener milliseconds per accept on a busy machine, while handing a client to a
// waiting thread costs a wake-up that the listener does not wait for.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/thread.h"
#include "sockets/server/server_internal.h"

namespace cvsock {

class ClientWorkers : public std::enable_shared_from_this<ClientWorkers> {
 public:
  struct Worker;
  using WorkerPtr = std::shared_ptr<Worker>;

  // A thread with the given stack size that waits for a client: a parked one, else a new
  // one; null when no thread can be created.
  WorkerPtr Acquire(uint32_t stackSize);
  static uint32_t ThreadId(const Worker& w) noexcept;
  // Runs ClientMain(c) on the acquired thread.
  static void Start(Worker& w, ClientPtr c);
  // Gives back a thread that was acquired but not started.
  void Release(const WorkerPtr& w);
  // Ends the parked threads and those that finish their client from now on, waiting up to
  // waitMs for all of them.
  void Close(uint32_t waitMs);

 private:
  // A thread that finished its client waits here; false when it should end instead.
  bool Park(const WorkerPtr& w);
  bool Unpark(const Worker& w);
  uint32_t Loop(const WorkerPtr& w);

  std::mutex lock_;
  std::vector<WorkerPtr> parked_;
  std::vector<std::shared_ptr<plat::Thread>> threads_;  // every thread started, to wait for at Close
  bool closing_ = false;
};

}  // namespace cvsock
