// Socket event selection: one process-wide table of selected sockets and one reactor
// thread that watches them with epoll and delivers their events (posted to a window for
// async selection, recorded on a NetEventSet for event selection) under the re-enabling
// rules of SelectState. Every registration carries a generation number, so an event
// read for a descriptor that was closed and reused meanwhile is dropped.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/msg/message.h"
#include "platform/msg/window.h"
#include "platform/net/adapters.h"
#include "platform/net/event_set.h"
#include "platform/net/select_state.h"

namespace plat::net {

namespace {

struct Registration {
  uint32_t generation = 0;
  SelectState state;
  HWND window = nullptr;  // async selection
  UINT message = 0;
  NetEventSet* set = nullptr;  // event selection
  WsaNetworkEvents recorded{};
  bool watched = false;  // in the epoll set
};

class Selection {
 public:
  static Selection& Get() {
    // Never destroyed: the reactor thread may run until the process ends.
    static Selection* instance = new Selection;
    return *instance;
  }

  // Starts (or replaces, or with events 0 ends) a selection; the target is a window
  // and message, or an event set.
  int Select(int fd, HWND window, UINT message, NetEventSet* set, int32_t events) {
    if (::fcntl(fd, F_GETFD) < 0) return FailErrno();
    std::lock_guard lock(m_);
    if (events == 0) {
      Drop(fd);
      return 0;
    }
    if (!StartReactor()) return Fail(WSAENOBUFS);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
    Registration& r = Fresh(fd);
    r.window = window;
    r.message = message;
    r.set = set;
    r.state.Select(fd, events);
    Arm(fd, r);
    return 0;
  }

  int Collect(int fd, NetEventSet* set, WsaNetworkEvents* out) {
    if (::fcntl(fd, F_GETFD) < 0) return FailErrno();
    std::lock_guard lock(m_);
    *out = {};
    auto it = regs_.find(fd);
    if (it != regs_.end()) {
      *out = it->second.recorded;
      it->second.recorded = {};
    }
    if (set) set->Reset();
    return 0;
  }

  // Ends the selection of fd; its socket messages still queued are removed.
  void Forget(int fd) {
    HWND window = nullptr;
    UINT message = 0;
    {
      std::lock_guard lock(m_);
      auto it = regs_.find(fd);
      if (it == regs_.end()) return;
      window = it->second.window;
      message = it->second.message;
      Drop(fd);
    }
    // Nothing more can be posted for fd now (posting happens under the lock).
    if (window) {
      WPARAM socket = WPARAM(fd);
      RemovePostedMessages(nullptr, [&](const MSG& m) { return m.message == message && m.wParam == socket; });
    }
  }

  void ForgetSet(NetEventSet* set) {
    std::lock_guard lock(m_);
    std::vector<int> fds;
    for (auto& [fd, r] : regs_)
      if (r.set == set) fds.push_back(fd);
    for (int fd : fds) Drop(fd);
  }

  bool IsSelected(int fd) {
    std::lock_guard lock(m_);
    return regs_.count(fd) != 0;
  }

  // A re-enabling call or state change on fd, made by a socket call.
  template <typename Change>
  void Note(int fd, Change change) {
    std::lock_guard lock(m_);
    auto it = regs_.find(fd);
    if (it == regs_.end()) return;
    change(it->second.state);
    Arm(fd, it->second);
  }

  // An accepted socket takes the listening socket's selection.
  void Accepted(int listenFd, int newFd) {
    std::lock_guard lock(m_);
    if (newFd >= 0) Drop(newFd);
    auto it = regs_.find(listenFd);
    if (it == regs_.end()) return;
    it->second.state.OnAccept();
    Arm(listenFd, it->second);
    if (newFd < 0) return;
    int flags = ::fcntl(newFd, F_GETFL);
    if (flags < 0 || ::fcntl(newFd, F_SETFL, flags | O_NONBLOCK) != 0) return;
    HWND window = it->second.window;
    UINT message = it->second.message;
    NetEventSet* set = it->second.set;
    int32_t mask = it->second.state.mask();
    Registration& r = Fresh(newFd);  // may rehash: `it` is not used after this
    r.window = window;
    r.message = message;
    r.set = set;
    r.state.Select(newFd, mask);
    Arm(newFd, r);
  }

  void NewSocket(int fd) {
    std::lock_guard lock(m_);
    Drop(fd);
  }

 private:
  Selection() = default;

  Registration& Fresh(int fd) {
    Registration& r = regs_[fd];
    bool watched = r.watched;
    r = Registration{};
    r.watched = watched;
    r.generation = ++generation_;
    return r;
  }

  void Drop(int fd) {
    auto it = regs_.find(fd);
    if (it == regs_.end()) return;
    if (it->second.watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    regs_.erase(it);
  }

  // Watches fd for what its state wants now; not at all when it wants nothing (epoll
  // would report hang-ups and errors of a watched descriptor again and again).
  void Arm(int fd, Registration& r) {
    short interest = r.state.Interest();
    if (interest == 0) {
      if (r.watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      r.watched = false;
      return;
    }
    epoll_event ev{};
    ev.events = uint32_t(uint16_t(interest));
    ev.data.u64 = (uint64_t(r.generation) << 32) | uint32_t(fd);
    if (::epoll_ctl(epoll_, r.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) {
      r.watched = true;
    } else if (errno == EEXIST || errno == ENOENT) {
      // The descriptor was closed behind our back and reused, or epoll dropped it.
      r.watched = ::epoll_ctl(epoll_, errno == EEXIST ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0;
    }
  }

  void Deliver(int fd, Registration& r, const FiredEvent* events, int count) {
    for (int i = 0; i < count; ++i) {
      if (r.set) {
        int bit = __builtin_ctz(uint32_t(events[i].event));
        r.recorded.lNetworkEvents |= events[i].event;
        r.recorded.iErrorCode[bit] = int32_t(events[i].error);
      } else {
        PostMessage(r.window, r.message, WPARAM(fd), WSAMakeSelectReply(uint32_t(events[i].event), events[i].error));
      }
    }
    if (r.set && count) r.set->Signal();
  }

  bool StartReactor() {
    if (epoll_ >= 0) return true;
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return false;
    std::thread([this] { Run(); }).detach();
    return true;
  }

  void Run() {
    epoll_event events[64];
    for (;;) {
      int n = ::epoll_wait(epoll_, events, 64, -1);
      if (n < 0) continue;  // EINTR
      std::lock_guard lock(m_);
      for (int i = 0; i < n; ++i) {
        int fd = int(uint32_t(events[i].data.u64));
        uint32_t generation = uint32_t(events[i].data.u64 >> 32);
        auto it = regs_.find(fd);
        if (it == regs_.end() || it->second.generation != generation) continue;
        FiredEvent fired[6];
        int count = it->second.state.Fire(fd, short(events[i].events), fired);
        Deliver(fd, it->second, fired, count);
        Arm(fd, it->second);
      }
    }
  }

  std::mutex m_;
  std::unordered_map<int, Registration> regs_;
  uint32_t generation_ = 0;
  int epoll_ = -1;
};

}  // namespace

int AsyncSelect(SOCKET s, HWND window, uint32_t message, int32_t events) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (events & ~FD_ALL_EVENTS) return Fail(WSAEINVAL);
  if (events && !IsWindow(window)) return Fail(WSAEINVAL);
  return Selection::Get().Select(fd, window, message, nullptr, events);
}

int EventSelect(SOCKET s, NetEventSet* set, int32_t events) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (events & ~FD_ALL_EVENTS) return Fail(WSAEINVAL);
  if (events && !set) return Fail(WSAEINVAL);
  return Selection::Get().Select(fd, nullptr, 0, set, events);
}

int EnumNetworkEvents(SOCKET s, NetEventSet* set, WsaNetworkEvents* events) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!events) return Fail(WSAEFAULT);
  return Selection::Get().Collect(fd, set, events);
}

void NoteNewSocket(int fd) { Selection::Get().NewSocket(fd); }
void NoteAccepted(int listenFd, int newFd) { Selection::Get().Accepted(listenFd, newFd); }
void NoteRecv(int fd) { Selection::Get().Note(fd, [](SelectState& s) { s.OnRecv(); }); }
void NoteSendWouldBlock(int fd) { Selection::Get().Note(fd, [](SelectState& s) { s.OnSendWouldBlock(); }); }
void NoteConnectStarted(int fd) { Selection::Get().Note(fd, [](SelectState& s) { s.OnConnectStarted(); }); }
void NoteListen(int fd) { Selection::Get().Note(fd, [](SelectState& s) { s.OnListen(); }); }
bool IsSelected(int fd) { return Selection::Get().IsSelected(fd); }
void ForgetSocket(int fd) { Selection::Get().Forget(fd); }

}  // namespace plat::net

namespace plat {

NetEventSet::~NetEventSet() { net::Selection::Get().ForgetSet(this); }

int NetEventSet::Select(SOCKET s, int32_t events) { return net::EventSelect(s, this, events); }

// The signal is left alone: another socket of the set may have just recorded events.
int NetEventSet::Collect(SOCKET s, WsaNetworkEvents* out) { return net::EnumNetworkEvents(s, nullptr, out); }

NetEventSet::WaitOutcome NetEventSet::Wait(uint32_t timeoutMs, pollfd* extra, size_t extraCount, uint32_t flags) {
  std::vector<pollfd> fds(extraCount + 1);
  fds[0] = {signal_.fd(), POLLIN, 0};
  for (size_t i = 0; i < extraCount; ++i) fds[i + 1] = extra[i];
  WaitResult r = WaitForEventsOrMessages(fds.data(), fds.size(), timeoutMs, flags);
  for (size_t i = 0; i < extraCount; ++i) extra[i].revents = fds[i + 1].revents;
  bool network = r.status == WaitStatus::Ready && (fds[0].revents & POLLIN) && signal_.Wait(0);
  return {r.status, network};
}

}  // namespace plat
