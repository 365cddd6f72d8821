// Socket sets of up to 64 entries and select() over them, implemented with poll(): no
// descriptor bit map, so descriptor numbers of 1024 and above are safe.
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/net/adapters.h"

namespace plat {

void FdZero(FdSet* set) noexcept {
  if (set) set->fd_count = 0;
}

int FdSetAdd(SOCKET s, FdSet* set) noexcept {
  if (!set) return 0;
  if (FdIsSet(s, set)) return 1;
  if (set->fd_count >= kFdSetSize) {
    SetLastError(WSAENOBUFS);
    return 0;
  }
  set->fd_array[set->fd_count++] = s;
  return 1;
}

void FdClear(SOCKET s, FdSet* set) noexcept {
  if (!set || set->fd_count > kFdSetSize) return;
  auto* end = set->fd_array + set->fd_count;
  auto* it = std::find(set->fd_array, end, s);
  if (it == end) return;
  std::memmove(it, it + 1, size_t(end - it - 1) * sizeof(SOCKET));
  --set->fd_count;
}

int FdIsSet(SOCKET s, const FdSet* set) noexcept {
  if (!set || set->fd_count > kFdSetSize) return 0;
  return std::find(set->fd_array, set->fd_array + set->fd_count, s) != set->fd_array + set->fd_count;
}

namespace net {

namespace {

constexpr size_t kMaxPoll = 3 * kFdSetSize;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct PollList {
  std::array<pollfd, kMaxPoll> fds;
  size_t count = 0;

  bool Add(SOCKET s, short events) {
    int fd = FdOf(s);
    if (fd < 0) return false;
    for (size_t i = 0; i < count; ++i) {
      if (fds[i].fd == fd) {
        fds[i].events |= events;
        return true;
      }
    }
    fds[count++] = {fd, events, 0};
    return true;
  }
  short Revents(SOCKET s) const {
    for (size_t i = 0; i < count; ++i)
      if (fds[i].fd == int(s)) return fds[i].revents;
    return 0;
  }
};

// Keeps the entries of set for which ready() holds; returns how many.
template <typename Ready>
int Keep(FdSet* set, Ready ready) {
  if (!set) return 0;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < set->fd_count; ++i)
    if (ready(set->fd_array[i])) set->fd_array[kept++] = set->fd_array[i];
  set->fd_count = kept;
  return int(kept);
}

}  // namespace

int Select(int32_t, FdSet* readSet, FdSet* writeSet, FdSet* errorSet, const TimeVal* timeout) {
  PollList list;
  size_t total = 0;
  for (FdSet* set : {readSet, writeSet, errorSet}) {
    if (!set) continue;
    if (set->fd_count > kFdSetSize) return Fail(WSAEINVAL);
    total += set->fd_count;
  }
  if (total == 0) return Fail(WSAEINVAL);
  if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return Fail(WSAEINVAL);
  auto addAll = [&](FdSet* set, short events) {
    if (!set) return true;
    for (uint32_t i = 0; i < set->fd_count; ++i)
      if (!list.Add(set->fd_array[i], events)) return false;
    return true;
  };
  if (!addAll(readSet, POLLIN) || !addAll(writeSet, POLLOUT) || !addAll(errorSet, POLLPRI)) return -1;

  int64_t limit = timeout ? int64_t(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000 : -1;
  int64_t deadline = limit >= 0 ? NowMs() + limit : -1;
  int n;
  for (;;) {
    int wait = deadline < 0 ? -1 : int(std::max<int64_t>(0, deadline - NowMs()));
    n = ::poll(list.fds.data(), list.count, wait);
    if (n >= 0 || errno != EINTR) break;
  }
  if (n < 0) return FailErrno();
  for (size_t i = 0; i < list.count; ++i)
    if (list.fds[i].revents & POLLNVAL) return Fail(WSAENOTSOCK);

  // A failed connect is reported in the error set, not as writable; a reset or closed
  // connection is readable (the receive then tells what happened).
  int ready = Keep(readSet, [&](SOCKET s) { return (list.Revents(s) & (POLLIN | POLLHUP | POLLERR)) != 0; });
  ready += Keep(writeSet, [&](SOCKET s) {
    short r = list.Revents(s);
    return (r & POLLOUT) && !(r & POLLERR);
  });
  ready += Keep(errorSet, [&](SOCKET s) { return (list.Revents(s) & (POLLPRI | POLLERR)) != 0; });
  return ready;
}

}  // namespace net
}  // namespace plat
