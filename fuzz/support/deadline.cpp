#include "deadline.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace cvfuzz {

namespace {

using Clock = std::chrono::steady_clock;

struct Armed {
  Clock::time_point end;
  std::string what;
};

// One watchdog thread for the process, started by the first deadline.
class Watchdog {
 public:
  static Watchdog& Get() {
    static Watchdog* dog = new Watchdog;  // never destroyed: it outlives every deadline
    return *dog;
  }

  unsigned long Arm(Clock::time_point end, std::string what) {
    std::lock_guard lock(mu_);
    const unsigned long id = ++next_;
    armed_.emplace(id, Armed{end, std::move(what)});
    changed_.notify_one();
    return id;
  }

  void Disarm(unsigned long id) {
    std::lock_guard lock(mu_);
    armed_.erase(id);
  }

 private:
  Watchdog() { std::thread([this] { Run(); }).detach(); }

  [[noreturn]] void Run() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (armed_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto first = armed_.begin();
      for (auto it = armed_.begin(); it != armed_.end(); ++it)
        if (it->second.end < first->second.end) first = it;
      if (Clock::now() >= first->second.end) {
        std::fprintf(stderr, "fuzz deadline passed: %s\n", first->second.what.c_str());
        std::fflush(stderr);
        std::abort();
      }
      const Clock::time_point end = first->second.end;  // the entry may go while waiting
      changed_.wait_until(lock, end);
    }
  }

  std::mutex mu_;
  std::condition_variable changed_;
  std::map<unsigned long, Armed> armed_;
  unsigned long next_ = 0;
};

}  // namespace

Deadline::Deadline(std::chrono::milliseconds limit, std::string what)
    : id_(Watchdog::Get().Arm(Clock::now() + limit, std::move(what))) {}

Deadline::~Deadline() { Watchdog::Get().Disarm(id_); }

}  // namespace cvfuzz
