#pragma once
// The re-enabling rules of socket event selection for one socket, shared by async
// selection (events posted to a window) and event selection (events recorded for a later
// enumeration). An event fires once and stays quiet until its re-enabling call:
//  READ    after every receive;
//  WRITE   once connected, then after a send that would block;
//  ACCEPT  after every accept;
//  CONNECT once, with the connect's error;
//  CLOSE   once, and only when no unread data is left.
#include <poll.h>

#include <cstdint>

namespace plat::net {

struct FiredEvent {
  int32_t event;   // one FD_* bit
  uint32_t error;  // Windows Sockets number, 0 for success
};

class SelectState {
 public:
  enum class Phase { Idle, Connecting, Connected, Listening, Datagram, Closed };

  // Starts a selection of `mask` on descriptor fd, taking the socket's current state from
  // the kernel (listening, connecting, connected, datagram or neither).
  void Select(int fd, int32_t mask);
  int32_t mask() const noexcept { return mask_; }
  Phase phase() const noexcept { return phase_; }

  // poll() events worth waiting for now; 0 means the descriptor need not be watched.
  short Interest() const noexcept;
  // Turns what poll() reported into the events to deliver (at most six); updates the state.
  int Fire(int fd, short revents, FiredEvent out[6]);

  // Re-enabling calls, made by the socket adapters.
  void OnRecv() noexcept;
  void OnSendWouldBlock() noexcept;
  void OnAccept() noexcept;
  void OnConnectStarted() noexcept;
  void OnListen() noexcept;

 private:
  bool Enabled(int32_t event) const noexcept { return (enabled_ & event) != 0; }
  void Disable(int32_t event) noexcept { enabled_ &= ~event; }

  int32_t mask_ = 0;
  int32_t enabled_ = 0;
  Phase phase_ = Phase::Idle;
  // Unread data is waiting and READ is quiet: nothing to look at until the next receive.
  bool awaitingRecv_ = false;
};

}  // namespace plat::net
