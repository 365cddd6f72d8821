#include "platform/net/select_state.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/net/wsa_errors.h"
#include "platform/net/wsa_types.h"

namespace plat::net {

namespace {

SelectState::Phase PhaseOf(int fd, bool* connectPending) {
  using Phase = SelectState::Phase;
  *connectPending = false;
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return Phase::Idle;
  if (type == SOCK_DGRAM) return Phase::Datagram;
  tcp_info info{};
  len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return Phase::Idle;
  switch (info.tcpi_state) {
    case TCP_LISTEN: return Phase::Listening;
    case TCP_SYN_SENT:
    case TCP_SYN_RECV: *connectPending = true; return Phase::Connecting;
    case TCP_CLOSE: return Phase::Idle;
    default: return Phase::Connected;  // established or already half-closed: the data decides
  }
}

// What is waiting to be read: >0 data, 0 orderly end, <0 a pending error (its number
// in *error), or "nothing yet" when *error is WSAEWOULDBLOCK.
int PeekInput(int fd, uint32_t* error) {
  char byte;
  ssize_t n;
  do {
    n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  *error = n < 0 ? WsaErrorFromErrno(errno) : 0;
  return int(n);
}

uint32_t TakeSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return WsaErrorFromErrno(errno);
  return WsaErrorFromErrno(err);
}

}  // namespace

void SelectState::Select(int fd, int32_t mask) {
  bool pending = false;
  mask_ = mask & FD_ALL_EVENTS;
  phase_ = PhaseOf(fd, &pending);
  // CONNECT is reported for a connect in progress or one started later; everything
  // else may fire as soon as its condition holds (a connected socket gets its WRITE).
  enabled_ = mask_;
  awaitingRecv_ = false;
}

short SelectState::Interest() const noexcept {
  short events = 0;
  switch (phase_) {
    case Phase::Listening:
      if (Enabled(FD_ACCEPT)) events |= POLLIN;
      break;
    case Phase::Connecting:
      // The completion is needed even without CONNECT in the mask: it opens the way
      // for the other events.
      if (mask_) events |= POLLOUT;
      break;
    case Phase::Connected:
      if (!awaitingRecv_ && (Enabled(FD_READ) || Enabled(FD_CLOSE))) events |= POLLIN | POLLRDHUP;
      if (Enabled(FD_WRITE)) events |= POLLOUT;
      break;
    case Phase::Datagram:
      if (Enabled(FD_READ)) events |= POLLIN;
      if (Enabled(FD_WRITE)) events |= POLLOUT;
      break;
    case Phase::Idle:
    case Phase::Closed: break;
  }
  return events;
}

int SelectState::Fire(int fd, short revents, FiredEvent out[6]) {
  int n = 0;
  auto emit = [&](int32_t event, uint32_t error) {
    if (mask_ & event) out[n++] = {event, error};
    Disable(event);
  };
  const short trouble = POLLERR | POLLHUP;
  switch (phase_) {
    case Phase::Listening:
      if ((revents & POLLIN) && Enabled(FD_ACCEPT)) emit(FD_ACCEPT, 0);
      else if (revents & trouble) phase_ = Phase::Closed;
      break;
    case Phase::Connecting: {
      if (!(revents & (POLLOUT | trouble))) break;
      uint32_t error = TakeSocketError(fd);
      if (error == 0 && (revents & POLLOUT)) {
        phase_ = Phase::Connected;
        emit(FD_CONNECT, 0);
        if (Enabled(FD_WRITE)) emit(FD_WRITE, 0);  // a fresh connection can always send
      } else {
        phase_ = Phase::Closed;
        emit(FD_CONNECT, error ? error : WSAECONNREFUSED);
      }
      break;
    }
    case Phase::Connected: {
      if ((revents & POLLOUT) && Enabled(FD_WRITE)) emit(FD_WRITE, 0);
      if (!(revents & (POLLIN | POLLRDHUP | trouble)) || awaitingRecv_) break;
      if (!Enabled(FD_READ) && !Enabled(FD_CLOSE)) break;
      uint32_t error = 0;
      int waiting = PeekInput(fd, &error);
      if (waiting > 0) {
        if (Enabled(FD_READ)) emit(FD_READ, 0);
        else awaitingRecv_ = true;  // CLOSE must wait until this data is read
      } else if (waiting == 0 || error != WSAEWOULDBLOCK) {
        phase_ = Phase::Closed;
        Disable(FD_READ);
        emit(FD_CLOSE, waiting == 0 ? 0 : error);
      }
      break;
    }
    case Phase::Datagram:
      if ((revents & (POLLIN | POLLERR)) && Enabled(FD_READ)) emit(FD_READ, 0);
      if ((revents & POLLOUT) && Enabled(FD_WRITE)) emit(FD_WRITE, 0);
      break;
    case Phase::Idle:
    case Phase::Closed: break;
  }
  return n;
}

void SelectState::OnRecv() noexcept {
  awaitingRecv_ = false;
  if (mask_ & FD_READ) enabled_ |= FD_READ;
}

void SelectState::OnSendWouldBlock() noexcept {
  if (mask_ & FD_WRITE) enabled_ |= FD_WRITE;
}

void SelectState::OnAccept() noexcept {
  if (mask_ & FD_ACCEPT) enabled_ |= FD_ACCEPT;
}

void SelectState::OnConnectStarted() noexcept {
  if (phase_ == Phase::Idle || phase_ == Phase::Closed) {
    phase_ = Phase::Connecting;
    enabled_ = mask_;
    awaitingRecv_ = false;
  }
}

void SelectState::OnListen() noexcept {
  if (phase_ == Phase::Idle) phase_ = Phase::Listening;
}

}  // namespace plat::net
