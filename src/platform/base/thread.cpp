#include "platform/base/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

namespace plat {

namespace {

thread_local Thread* t_current = nullptr;

// Live threads by id, for FindById.
struct Registry {
  std::mutex m;
  std::unordered_map<uint32_t, std::weak_ptr<Thread>> byId;
};
Registry& Threads() {
  static Registry* r = new Registry;  // never destroyed: threads may outlive static destructors
  return *r;
}

}  // namespace

uint32_t GetCurrentThreadId() noexcept {
  thread_local uint32_t id = uint32_t(gettid());
  return id;
}

std::shared_ptr<Thread> Thread::Create(Body body, Options options) {
  std::shared_ptr<Thread> t(new Thread);
  t->body_ = std::move(body);
  t->suspendCount_ = options.suspended ? 1 : 0;
  t->self_ = t;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (options.stackSize > 0) {
    size_t size = std::max<size_t>(options.stackSize, PTHREAD_STACK_MIN);
    long page = sysconf(_SC_PAGESIZE);
    size = (size + size_t(page) - 1) / size_t(page) * size_t(page);
    pthread_attr_setstacksize(&attr, size);
  }
  // The thread reports its id before the body starts, so id() is valid on return.
  std::unique_lock lk(t->m_);
  int rc = pthread_create(&t->handle_, &attr, &Thread::Start, t.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    t->self_.reset();
    return nullptr;
  }
  t->cv_.wait(lk, [&] { return t->id_ != 0; });
  return t;
}

void* Thread::Start(void* arg) {
  auto* t = static_cast<Thread*>(arg);
  std::shared_ptr<Thread> keep;
  {
    std::lock_guard lk(t->m_);
    keep = t->self_;
    t->id_ = GetCurrentThreadId();
  }
  t->cv_.notify_all();
  {
    std::lock_guard lk(Threads().m);
    Threads().byId[t->id_] = keep;
  }
  t_current = t;
  ThreadCheckpoint();  // a thread created suspended waits here for Resume
  uint32_t code = 0;
  if (!t->cancel_.IsCanceled()) code = t->body_();
  t->body_ = nullptr;
  t_current = nullptr;
  {
    std::lock_guard lk(Threads().m);
    Threads().byId.erase(t->id_);
  }
  t->exitCode_ = code;
  {
    std::lock_guard lk(t->m_);
    t->self_.reset();
  }
  t->finished_.Set();
  return nullptr;  // `keep` releases the object; the destructor may run on this thread
}

Thread::~Thread() {
  // Not joined: let the system reclaim the thread when it ends.
  if (!joined_) pthread_detach(handle_);
}

std::shared_ptr<Thread> Thread::FindById(uint32_t id) {
  std::lock_guard lk(Threads().m);
  auto it = Threads().byId.find(id);
  return it == Threads().byId.end() ? nullptr : it->second.lock();
}

std::shared_ptr<Thread> Thread::Current() {
  if (!t_current) return nullptr;
  std::lock_guard lk(t_current->m_);
  return t_current->self_;
}

uint32_t Thread::Resume() {
  std::lock_guard lk(m_);
  uint32_t prev = suspendCount_;
  if (suspendCount_ > 0 && --suspendCount_ == 0) cv_.notify_all();
  return prev;
}

uint32_t Thread::Suspend() {
  std::lock_guard lk(m_);
  return suspendCount_++;
}

void Thread::Cancel() {
  std::lock_guard lk(m_);
  cancel_.Cancel();
  cv_.notify_all();
}

uint32_t Thread::SuspendCount() const {
  std::lock_guard lk(m_);
  return suspendCount_;
}

bool Thread::Join(uint32_t timeoutMs) {
  if (pthread_equal(handle_, pthread_self())) return false;  // a thread cannot join itself
  if (!finished_.Wait(timeoutMs)) return false;
  std::lock_guard lk(m_);
  if (!joined_) {
    pthread_join(handle_, nullptr);
    joined_ = true;
  }
  return true;
}

void ThreadCheckpoint() {
  Thread* t = t_current;
  if (!t) return;
  std::unique_lock lk(t->m_);
  t->cv_.wait(lk, [t] { return t->suspendCount_ == 0 || t->cancel_.IsCanceled(); });
}

const CancelToken* CurrentCancelToken() noexcept { return t_current ? &t_current->cancel() : nullptr; }

}  // namespace plat
