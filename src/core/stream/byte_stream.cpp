// The blocking forms over any stream, and the plain socket stream.
#include "core/stream/byte_stream.h"

#include <poll.h>

#include <algorithm>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"

namespace cvcore {

namespace {

constexpr uint32_t kMostPerCall = 0x7FFFFFFF;

}  // namespace

int32_t ReceiveSome(ByteStream& stream, void* buffer, uint32_t length, StreamOrder order) noexcept {
  bool wait = order == StreamOrder::WaitFirst;
  for (;;) {
    if (wait && !stream.Buffered() && !stream.Wait(POLLIN)) return -1;
    const int32_t n = stream.Receive(buffer, length);
    if (n != kStreamWouldBlock) return n;
    wait = true;
  }
}

bool SendAll(ByteStream& stream, const void* data, uint32_t length, StreamOrder order) noexcept {
  const auto* p = static_cast<const char*>(data);
  bool wait = order == StreamOrder::WaitFirst;
  for (uint32_t sent = 0; sent < length;) {
    if (wait && !stream.Wait(POLLOUT)) return false;
    const int32_t n = stream.Send(p + sent, length - sent);
    if (n == -1) return false;
    wait = n == kStreamWouldBlock;
    if (n > 0) sent += uint32_t(n);
  }
  return stream.Flush();
}

int32_t SocketStream::Receive(void* buffer, uint32_t length) noexcept {
  if (socket_ == INVALID_SOCKET) return Fail(cvErrorConnectionClosed), -1;
  const int32_t n = SockRecv(socket_, static_cast<char*>(buffer), int32_t(std::min(length, kMostPerCall)), 0);
  if (n >= 0) return n;
  if (plat::GetLastError() == plat::WSAEWOULDBLOCK) return kStreamWouldBlock;
  FailSocket(true);
  return -1;
}

int32_t SocketStream::Send(const void* data, uint32_t length) noexcept {
  if (socket_ == INVALID_SOCKET) return Fail(cvErrorConnectionClosed), -1;
  const int32_t n = SockSend(socket_, static_cast<const char*>(data), int32_t(std::min(length, kMostPerCall)), 0);
  if (n > 0) return n;
  if (n == 0) return Fail(cvErrorConnectionClosed), -1;
  if (plat::GetLastError() == plat::WSAEWOULDBLOCK) return kStreamWouldBlock;
  FailSocket(false);
  return -1;
}

int32_t SocketStream::SendFile(int file, uint64_t offset, uint32_t length) noexcept {
  if (socket_ == INVALID_SOCKET) return Fail(cvErrorConnectionClosed), -1;
  const int64_t n = SockSendFile(socket_, file, &offset, std::min(length, kMostPerCall));
  if (n >= 0) return int32_t(n);
  const uint32_t e = plat::GetLastError();
  if (e == plat::WSAEWOULDBLOCK) return kStreamWouldBlock;
  // A file the system cannot send from, or cannot read: reading it says which.
  if (e == plat::WSAEINVAL || e == plat::WSAEOPNOTSUPP) return kStreamNoFileSend;
  FailSocket(false);
  return -1;
}

void SocketStream::FailSocket(bool) noexcept {
  const uint32_t e = plat::GetLastError();
  Fail(e ? FullErrorCode(e) : cvErrorConnectionClosed);  // a failure that left no error behind
}

}  // namespace cvcore
