// TCP connections of the SSH layer: connect with fallback, buffered sending, event
// handling for the plug.
#include "ssh/net/tcp_socket.h"

#include <netinet/in.h>

#include <cstring>

#include "core/sock/sock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/net/address.h"

namespace cvssh::net {

namespace {

uint32_t LastError() {
  uint32_t e = SockGetLastError();
  return e ? e : plat::WSAENOTSOCK;
}

void SetIntOption(SOCKET s, int32_t level, int32_t option, int32_t value) {
  SockSetOption(s, level, option, &value);
}

}  // namespace

TcpSocket::TcpSocket(SshPlug* plug) : plug_(plug) { BufferChainInit(&output_); }

TcpSocket::~TcpSocket() { BufferChainClear(&output_); }

SshPlug* TcpSocket::SetPlug(SshPlug* plug) {
  SshPlug* old = plug_;
  if (plug) plug_ = plug;
  return old;
}

uint32_t TcpSocket::Connect() {
  if (handle != INVALID_SOCKET) {
    RegistryRemove(this);
    SshEventSelect(handle, 0);
    SockClose(handle);
    handle = INVALID_SOCKET;
  }
  writable = 0;
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
  if (SockBind(s, reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
    error_ = LastError();
    SockClose(s);
    return error_;
  }
  handle = s;
  if (SshEventSelect(s, 1) != 0) {
    error_ = LastError();
    SockClose(s);
    handle = INVALID_SOCKET;
    return error_;
  }
  if (SockConnect(s, reinterpret_cast<sockaddr*>(&target), targetLength) == 0) {
    writable = 1;
  } else {
    uint32_t e = LastError();
    if (e != plat::WSAEWOULDBLOCK) {
      SshEventSelect(s, 0);
      SockClose(s);
      handle = INVALID_SOCKET;
      return error_ = e;
    }
  }
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
    SshEventSelect(handle, 0);
    SockClose(handle);
    handle = INVALID_SOCKET;
  }
  SshFreeAddress(address);
  address = nullptr;
  if (dispatching_ == 0) delete this;
}

uint32_t TcpSocket::Write(const void* data, uint32_t length) {
  if (closed_) return 0;
  BufferChainAdd(&output_, data, length);
  if (writable) TrySend();
  return BufferChainSize(&output_);
}

uint32_t TcpSocket::WriteUrgent(const void* data, uint32_t length) {
  if (closed_) return 0;
  BufferChainClear(&output_);
  urgentLength_ = length ? 1 : 0;
  if (length) urgent_ = *static_cast<const uint8_t*>(data);
  if (writable) TrySend();
  return urgentLength_;
}

void TcpSocket::TrySend() {
  for (;;) {
    const void* data;
    uint32_t length;
    int32_t flags = 0;
    if (urgentLength_) {
      data = &urgent_;
      length = urgentLength_;
      flags = plat::kMsgOob;
    } else if (BufferChainSize(&output_)) {
      BufferChainPrefix(&output_, &data, &length);
    } else {
      return;
    }
    int32_t n = SockSend(handle, static_cast<const char*>(data), int32_t(length), flags);
    NoiseFromEvent(uint32_t(n));
    if (n <= 0) {
      uint32_t e = SockGetLastError();
      if (e == plat::WSAEWOULDBLOCK || (e < 10000 && n < 0)) writable = 0;
      return;
    }
    if (urgentLength_)
      urgentLength_ = 0;
    else
      BufferChainConsume(&output_, uint32_t(n));
  }
}

void TcpSocket::SetFrozen(int32_t value) {
  uint32_t flag = value ? 1 : 0;
  if (frozen == flag) return;
  frozen = flag;
  if (frozen || handle == INVALID_SOCKET) return;
  SshEventSelect(handle, 1);
  if (frozenReadable) {
    char c;
    SockRecv(handle, &c, 1, plat::kMsgPeek);
  }
  frozenReadable = 0;
}

bool TcpSocket::TryNextCandidate(uint32_t) {
  while (SshNextAddress(address)) {
    if (Connect() == 0) return true;
  }
  return false;
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
    // Still connecting: a failed attempt moves on to the next candidate address.
    if (TryNextCandidate(error)) return 1;
    return plug_ ? plug_->Closing(error, 0) : 1;
  }
  switch (event) {
    case plat::FD_CONNECT:
      writable = 1;
      SshFreeAddress(address);
      address = nullptr;
      return 1;
    case plat::FD_READ:
      return OnRead();
    case plat::FD_CLOSE:
      return OnClose();
    case plat::FD_OOB:
      return OnOob();
    case plat::FD_WRITE: {
      writable = 1;
      uint32_t before = BufferChainSize(&output_);
      TrySend();
      uint32_t after = BufferChainSize(&output_);
      if (after < before && plug_) plug_->Sent(after);
      return 1;
    }
    case plat::FD_ACCEPT:
      return OnAccept();
    default:
      return 1;
  }
}

int32_t TcpSocket::OnRead() {
  if (frozen) {
    frozenReadable = 1;
    return 1;
  }
  uint32_t noUrgent = 1;  // the Windows answer: true while no urgent byte is next
  if (oobInline) SockIoctl(handle, plat::kSiocAtMark, &noUrgent);
  uint8_t buffer[kReceiveBufferSize];
  int32_t n = SockRecv(handle, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
  NoiseFromEvent(uint32_t(n));
  if (n > 0) return plug_ ? plug_->Receive(noUrgent ? 0 : 1, buffer, n) : 1;
  if (n == 0) return plug_ ? plug_->Closing(0, 0) : 1;
  uint32_t e = SockGetLastError();
  if (e == plat::WSAEWOULDBLOCK) return 1;
  return plug_ ? plug_->Closing(e, 0) : 1;
}

int32_t TcpSocket::OnOob() {
  uint8_t buffer[kReceiveBufferSize];
  int32_t n = SockRecv(handle, reinterpret_cast<char*>(buffer), sizeof buffer, plat::kMsgOob);
  NoiseFromEvent(uint32_t(n));
  if (n > 0 && plug_) return plug_->Receive(2, buffer, n);
  return 1;
}

int32_t TcpSocket::OnClose() {
  uint8_t buffer[kReceiveBufferSize];
  for (;;) {
    int32_t n = SockRecv(handle, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (n > 0) {
      // The owner may close this socket while taking the data.
      if (!plug_ || plug_->Receive(0, buffer, n) == 0 || closed_) return 0;
      continue;
    }
    if (n == 0) return plug_ ? plug_->Closing(0, 0) : 1;
    uint32_t e = SockGetLastError();
    if (e == plat::WSAEWOULDBLOCK) return 1;
    return plug_ ? plug_->Closing(e, 0) : 1;
  }
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
  if (SockEventSelect(socket, enable ? plat::FD_ALL_EVENTS : 0) != 0) return int32_t(SockGetLastError());
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
