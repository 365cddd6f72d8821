#include "sockets/server/server_workers.h"

#include <algorithm>
#include <chrono>

#include "platform/base/tick.h"
#include "sockets/server/server_pauses.h"

namespace cvsock {

namespace {

// A parked thread ends after this long without a client, and no more than this many wait:
// a burst of clients leaves no lasting crowd of idle threads behind, and Stop, which waits
// for every parked thread to end, stays quick after one (a few dozen cover the steady
// reuse that keeps new connections cheap).
constexpr auto kParkedLimit = std::chrono::seconds(30);
constexpr size_t kMaxParked = 64;

}  // namespace

struct ClientWorkers::Worker {
  uint32_t stackSize = 0;
  uint32_t threadId = 0;
  std::mutex lock;
  std::condition_variable wake;
  ClientPtr client;  // handed over by Start
  bool quit = false;
};

ClientWorkers::WorkerPtr ClientWorkers::Acquire(uint32_t stackSize) {
  {
    std::lock_guard lk(lock_);
    if (closing_) return nullptr;
    // The most recently parked thread first: its stack is the likeliest to be warm.
    for (auto it = parked_.rbegin(); it != parked_.rend(); ++it) {
      if ((*it)->stackSize != stackSize) continue;
      WorkerPtr w = *it;
      parked_.erase(std::next(it).base());
      return w;
    }
    std::erase_if(threads_, [](const std::shared_ptr<plat::Thread>& t) { return t->Finished(); });
  }
  auto w = std::make_shared<Worker>();
  w->stackSize = stackSize;
  plat::Thread::Options options;
  options.stackSize = stackSize;
  std::shared_ptr<plat::Thread> t =
      plat::Thread::Create([self = shared_from_this(), w] { return self->Loop(w); }, options);
  if (!t) return nullptr;
  w->threadId = t->id();
  std::lock_guard lk(lock_);
  threads_.push_back(std::move(t));
  return w;
}

uint32_t ClientWorkers::ThreadId(const Worker& w) noexcept { return w.threadId; }

void ClientWorkers::Start(Worker& w, ClientPtr c) {
  {
    std::lock_guard lk(w.lock);
    w.client = std::move(c);
  }
  w.wake.notify_one();
}

void ClientWorkers::Release(const WorkerPtr& w) {
  if (Park(w)) return;
  {
    std::lock_guard lk(w->lock);
    w->quit = true;
  }
  w->wake.notify_one();
}

bool ClientWorkers::Park(const WorkerPtr& w) {
  std::lock_guard lk(lock_);
  if (closing_ || parked_.size() >= kMaxParked) return false;
  parked_.push_back(w);
  return true;
}

// True when the worker was parked and is not any more: nobody can hand it a client now.
bool ClientWorkers::Unpark(const Worker& w) {
  std::lock_guard lk(lock_);
  auto it = std::find_if(parked_.begin(), parked_.end(), [&](const WorkerPtr& p) { return p.get() == &w; });
  if (it == parked_.end()) return false;
  parked_.erase(it);
  return true;
}

uint32_t ClientWorkers::Loop(const WorkerPtr& w) {
  ServerSleepOnTime();
  for (;;) {
    ClientPtr c;
    {
      std::unique_lock lk(w->lock);
      while (!w->client && !w->quit) {
        if (w->wake.wait_for(lk, kParkedLimit) != std::cv_status::timeout || w->client || w->quit) continue;
        lk.unlock();
        if (Unpark(*w)) return 0;
        lk.lock();  // taken for a client just now: it is on its way
      }
      if (!w->client) return 0;
      c = std::move(w->client);
    }
    ClientMain(std::move(c));
    if (!Park(w)) return 0;
  }
}

void ClientWorkers::Close(uint32_t waitMs) {
  std::vector<WorkerPtr> parked;
  std::vector<std::shared_ptr<plat::Thread>> threads;
  {
    std::lock_guard lk(lock_);
    closing_ = true;
    parked.swap(parked_);
    threads = threads_;
  }
  for (const WorkerPtr& w : parked) {
    {
      std::lock_guard lk(w->lock);
      w->quit = true;
    }
    w->wake.notify_one();
  }
  // A thread still inside its client's event past the wait ends by itself afterwards.
  const uint32_t start = plat::GetTickCount();
  for (const auto& t : threads) {
    const uint32_t spent = plat::GetTickCount() - start;
    if (spent >= waitMs || !t->Join(waitMs - spent)) break;
  }
}

}  // namespace cvsock
