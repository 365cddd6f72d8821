// TCP connections of the SSH layer: connect with fallback, sending straight from the
// caller's bytes (queueing only what the socket would not take), receiving whatever the
// socket holds, and event handling for the plug.
#include "ssh/net/tcp_socket.h"

#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/sock/sock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/net/address.h"

namespace cvssh::net {

namespace {

// One receive takes this much at most; a socket that keeps delivering yields to its
// siblings after kReadBurst bytes and is served again at the next pump step.
constexpr int32_t kReceiveBufferSize = 131072;
constexpr int32_t kReadBurst = 1 << 20;

uint32_t LastError() {
  uint32_t e = SockGetLastError();
  return e ? e : plat::WSAENOTSOCK;
}

void SetIntOption(SOCKET s, int32_t level, int32_t option, int32_t value) {
  SockSetOption(s, level, option, &value);
}

// Receive buffers for the calling thread, one per nesting level of the pump (a plug's
// handler may run a nested pump, which must not reuse the outer buffer).
class ReceiveBuffer {
 public:
  ReceiveBuffer() {
    auto& pool = Pool();
    if (pool.empty()) {
      buffer_.reset(new uint8_t[kReceiveBufferSize]);
    } else {
      buffer_ = std::move(pool.back());
      pool.pop_back();
    }
  }
  ~ReceiveBuffer() { Pool().push_back(std::move(buffer_)); }
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
  uint8_t* get() const { return buffer_.get(); }

 private:
  static std::vector<std::unique_ptr<uint8_t[]>>& Pool() {
    thread_local std::vector<std::unique_ptr<uint8_t[]>> pool;
    return pool;
  }
  std::unique_ptr<uint8_t[]> buffer_;
};

}  // namespace

TcpSocket::TcpSocket(SshPlug* plug) : owner(CurrentOwner()), plug_(plug) {}

TcpSocket::~TcpSocket() = default;

SshPlug* TcpSocket::SetPlug(SshPlug* plug) {
  SshPlug* old = plug_;
  if (plug) plug_ = plug;
  return old;
}

uint32_t TcpSocket::Connect() {
  if (handle != INVALID_SOCKET) {
    RegistryRemove(this);
    SockClose(handle);
    handle = INVALID_SOCKET;
  }
  writable = 0;
  connecting = 0;
  if (plug_) plug_->Log(0, address, port, nullptr, 0);

  int32_t family = CandidateFamily(address);
  sockaddr_storage target;
  int32_t targetLength = 0;
  if (!CandidateSockaddr(address, port, &target, &targetLength)) return error_ = plat::WSAEADDRNOTAVAIL;
  SOCKET s = SockCreate(family, plat::kSockStream, plat::kIpProtoTcp);
  if (s == INVALID_SOCKET) return error_ = LastError();
  if (oobInline) SetIntOption(s, plat::kSolSocket, plat::kSoOobInline, 1);
  if (noDelay) SetIntOption(s, plat::kIpProtoTcp, plat::kTcpNoDelay, 1);
  if (keepAlive) SetIntOption(s, plat::kSolSocket, plat::kSoKeepAlive, 1);

  sockaddr_storage local{};
  int32_t localLength;
  if (family == plat::kAfInet6) {
    reinterpret_cast<sockaddr_in6*>(&local)->sin6_family = AF_INET6;
    localLength = sizeof(sockaddr_in6);
  } else {
    reinterpret_cast<sockaddr_in*>(&local)->sin_family = AF_INET;
    localLength = sizeof(sockaddr_in);
  }
  if (SockBind(s, reinterpret_cast<sockaddr*>(&local), localLength) != 0 || SshEventSelect(s, 1) != 0) {
    error_ = LastError();
    SockClose(s);
    return error_;
  }
  if (SockConnect(s, reinterpret_cast<sockaddr*>(&target), targetLength) == 0) {
    // Connected at once: no later fallback is possible.
    writable = 1;
    SshFreeAddress(address);
    address = nullptr;
  } else {
    uint32_t e = LastError();
    if (e != plat::WSAEWOULDBLOCK) {
      SockClose(s);
      return error_ = e;
    }
    connecting = 1;
  }
  handle = s;
  error_ = 0;
  RegistryAdd(this);
  return 0;
}

void TcpSocket::Close() {
  if (closed_) return;
  closed_ = true;
  if (companion) {
    companion->parent = nullptr;
    companion->Close();
    companion = nullptr;
  }
  if (parent) parent->companion = nullptr;
  if (handle != INVALID_SOCKET) {
    RegistryRemove(this);
    SockClose(handle);
    handle = INVALID_SOCKET;
  }
  SshFreeAddress(address);
  address = nullptr;
  output_.Clear();
  if (dispatching_ == 0) delete this;
}

uint32_t TcpSocket::Write(const void* data, uint32_t length) {
  if (closed_) return 0;
  if (sendFailed_) return 0;
  auto* bytes = static_cast<const uint8_t*>(data);
  if (writable && output_.empty() && !urgentLength_ && length) {
    // Straight from the caller's bytes: only what the socket does not take is queued.
    int32_t n = SockSend(handle, reinterpret_cast<const char*>(bytes), int32_t(length), 0);
    NoiseFromEvent(uint32_t(n));
    if (n >= 0) {
      bytes += n;
      length -= uint32_t(n);
      if (length) writable = 0;
    } else if (SockGetLastError() == plat::WSAEWOULDBLOCK) {
      writable = 0;
    } else {
      // The owner learns of the broken connection when it reads its end.
      sendFailed_ = 1;
      return 0;
    }
  }
  output_.Append(bytes, length);
  return uint32_t(output_.size());
}

uint32_t TcpSocket::WriteUrgent(const void* data, uint32_t length) {
  if (closed_) return 0;
  output_.Clear();
  urgentLength_ = length ? 1 : 0;
  if (length) urgent_ = *static_cast<const uint8_t*>(data);
  if (writable) TrySend();
  return urgentLength_;
}

void TcpSocket::TrySend() {
  if (sendFailed_) return;
  if (urgentLength_) {
    int32_t n = SockSend(handle, reinterpret_cast<const char*>(&urgent_), 1, plat::kMsgOob);
    NoiseFromEvent(uint32_t(n));
    if (n <= 0) {
      if (SockGetLastError() == plat::WSAEWOULDBLOCK) writable = 0;
      return;
    }
    urgentLength_ = 0;
  }
  // The whole queue in one call; what the socket does not take waits for writability.
  while (!output_.empty()) {
    int32_t n = SockSend(handle, reinterpret_cast<const char*>(output_.data()), int32_t(output_.size()), 0);
    NoiseFromEvent(uint32_t(n));
    if (n <= 0) {
      if (SockGetLastError() == plat::WSAEWOULDBLOCK) {
        writable = 0;
      } else {
        sendFailed_ = 1;
        output_.Clear();
      }
      return;
    }
    output_.Consume(size_t(n));
  }
}

void TcpSocket::SetFrozen(int32_t value) {
  uint32_t flag = value ? 1 : 0;
  if (frozen == flag) return;
  frozen = flag;
  // A thawed socket is watched for input again at the next pump step, and data that
  // waited meanwhile shows at once (the pump's wait sees the level, not an edge).
  if (!frozen) frozenReadable = 0;
}

short TcpSocket::Interest() const {
  if (closed_ || handle == INVALID_SOCKET) return 0;
  if (listening) return POLLIN;
  if (connecting) return POLLOUT;
  short events = 0;
  if (!frozen && !closeReported_) events |= POLLIN | POLLPRI;
  if (!writable && !sendFailed_ && (urgentLength_ || !output_.empty())) events |= POLLOUT;
  return events;
}

int32_t TcpSocket::OnReady(short revents) {
  ++dispatching_;
  int32_t result = 1;
  const short want = Interest();
  if (connecting) {
    // The connect's outcome, already as a Windows Sockets number.
    int32_t error = 0, length = sizeof error;
    if (SockGetPendingError(handle, &error, &length) != 0) error = int32_t(LastError());
    result = OnConnected(uint32_t(error));
    if (!connecting && !closed_ && !error && (revents & POLLOUT)) result = OnWritable();
  } else if (listening) {
    if (revents & POLLIN) result = OnAccept();
  } else {
    const bool readable = (want & POLLIN) && (revents & (POLLIN | POLLHUP | POLLERR | POLLPRI));
    if (readable) result = OnRead((revents & POLLPRI) != 0);
    if (!closed_ && !oobInline && (revents & POLLPRI) && result >= 0) result = OnOob();
    if (!closed_ && (want & POLLOUT) && (revents & (POLLOUT | POLLHUP | POLLERR)) && result >= 0) result = OnWritable();
    // Nothing to read here (frozen, or the end already told) and the peer has gone: the
    // queued output can never leave.
    if (!closed_ && !readable && !(want & POLLOUT) && (revents & (POLLHUP | POLLERR))) sendFailed_ = 1;
  }
  --dispatching_;
  if (closed_ && dispatching_ == 0) delete this;
  return result;
}

int32_t TcpSocket::HandleEvent(uint32_t eventWord) {
  ++dispatching_;
  int32_t result = Dispatch(eventWord & 0xFFFF, eventWord >> 16);
  --dispatching_;
  if (closed_ && dispatching_ == 0) delete this;
  return result;
}

int32_t TcpSocket::Dispatch(uint32_t event, uint32_t error) {
  if (closed_) return 1;
  if (error == 0) NoiseFromEvent(event);
  if (error && address) {
    if (TryNextCandidate()) return 1;
    return ReportClosing(error);
  }
  switch (event) {
    case plat::FD_CONNECT:
      return OnConnected(0);
    case plat::FD_READ:
    case plat::FD_CLOSE:
      return OnRead(false);
    case plat::FD_OOB:
      return OnOob();
    case plat::FD_WRITE:
      return OnWritable();
    case plat::FD_ACCEPT:
      return OnAccept();
    default:
      return 1;
  }
}

int32_t TcpSocket::ReportClosing(uint32_t error) {
  closeReported_ = 1;
  return plug_ ? plug_->Closing(error, 0) : 1;
}

bool TcpSocket::TryNextCandidate() {
  while (SshNextAddress(address)) {
    if (Connect() == 0) return true;
  }
  return false;
}

int32_t TcpSocket::OnConnected(uint32_t error) {
  uint32_t noise = error ? error : uint32_t(plat::FD_CONNECT);
  NoiseFromEvent(noise);
  if (error) {
    // A failed attempt moves on to the next candidate address.
    connecting = 0;
    if (address && TryNextCandidate()) return 1;
    return ReportClosing(error);
  }
  connecting = 0;
  writable = 1;
  SshFreeAddress(address);
  address = nullptr;
  return 1;
}

int32_t TcpSocket::OnRead(bool urgentPending) {
  if (frozen) {
    frozenReadable = 1;
    return 1;
  }
  ReceiveBuffer buffer;
  for (int32_t total = 0; total < kReadBurst;) {
    uint32_t noUrgent = 1;  // the Windows answer: true while no urgent byte is next
    if (oobInline && urgentPending) SockIoctl(handle, plat::kSiocAtMark, &noUrgent);
    int32_t n = SockRecv(handle, reinterpret_cast<char*>(buffer.get()), kReceiveBufferSize, 0);
    NoiseFromEvent(uint32_t(n));
    if (n > 0) {
      total += n;
      int32_t r = plug_ ? plug_->Receive(noUrgent ? 0 : 1, buffer.get(), n) : 1;
      // The owner may have closed or frozen the socket while taking the data; a buffer
      // not filled says the socket is drained for now.
      if (r == 0 || closed_ || frozen || n < kReceiveBufferSize) return r;
      continue;
    }
    if (n == 0) return ReportClosing(0);
    uint32_t e = SockGetLastError();
    if (e == plat::WSAEWOULDBLOCK) return 1;
    return ReportClosing(e);
  }
  return 1;
}

int32_t TcpSocket::OnOob() {
  uint8_t buffer[512];
  int32_t n = SockRecv(handle, reinterpret_cast<char*>(buffer), sizeof buffer, plat::kMsgOob);
  NoiseFromEvent(uint32_t(n));
  if (n > 0 && plug_) return plug_->Receive(2, buffer, n);
  return 1;
}

int32_t TcpSocket::OnWritable() {
  writable = 1;
  const size_t before = output_.size();
  TrySend();
  const size_t after = output_.size();
  if (after < before && plug_) plug_->Sent(uint32_t(after));
  return 1;
}

int32_t TcpSocket::OnAccept() {
  sockaddr_storage peer{};
  int32_t length = sizeof peer;
  SOCKET s = SockAccept(handle, reinterpret_cast<sockaddr*>(&peer), &length);
  // A failed accept (including WSATRY_AGAIN) never reaches the owner.
  if (s == INVALID_SOCKET) return 1;
  if (localOnly && peer.ss_family == AF_INET) {
    SshAddress probe{};
    probe.family = plat::kAfInet;
    uint32_t v4 = ntohl(reinterpret_cast<sockaddr_in*>(&peer)->sin_addr.s_addr);
    probe.ipv4 = &v4;
    probe.ipv4Count = 1;
    int32_t local = SshIsLocalAddress(&probe);
    if (!local) {
      SockClose(s);
      return 1;
    }
  }
  if (!plug_ || plug_->Accepting(s) != 0) SockClose(s);
  return 1;
}

}  // namespace cvssh::net

int32_t SshEventSelect(SOCKET socket, int32_t enable) {
  // The owner's pump watches the socket itself; it only has to be non-blocking.
  if (!enable) return 0;
  uint32_t on = 1;
  if (SockIoctl(socket, plat::kFionBio, &on) != 0) return int32_t(SockGetLastError());
  return 0;
}

SshSocket* SshNewConnection(SshAddress* address, int32_t port, int32_t keepAlive, SshPlug* plug) {
  auto* s = new cvssh::net::TcpSocket(plug);
  s->address = address;
  s->port = port;
  s->oobInline = 1;
  s->noDelay = 0;
  s->keepAlive = keepAlive ? 1 : 0;
  if (!address || address->error) {
    s->error_ = address ? address->error : plat::WSAENOTSOCK;
    return s;
  }
  while (s->Connect() != 0) {
    if (!SshNextAddress(address)) break;
  }
  return s;
}

SshSocket* SshRegisterSocket(SOCKET socket, SshPlug* plug) {
  auto* s = new cvssh::net::TcpSocket(plug);
  s->handle = socket;
  s->writable = 1;
  s->frozen = 1;
  s->oobInline = 1;
  if (SshEventSelect(socket, 1) != 0) s->error_ = SockGetLastError();
  cvssh::net::RegistryAdd(s);
  return s;
}
