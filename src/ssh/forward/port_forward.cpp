// Forwarding records: one per listener and one per forwarded connection, owned by their
// socket as its private data.
#include "ssh/forward/port_forward.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/net/wsa_errors.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/session.h"
#include "ssh/proxy/proxy.h"
#include "ssh/util/alloc.h"

namespace {

enum DynamicState : uint32_t {
  kDynamicNone = 0,
  kDynamicFirstByte = 1,
  kSocks4Request = 0x4000,
  kSocks4Name = 0x4001,
  kSocks5Methods = 0x5000,
  kSocks5Request = 0x5001,
};

constexpr uint32_t kRequestLimit = 264;

class ForwardRecord final : public SshPlug {
 public:
  ForwardRecord() = default;

  void Log(int32_t, const SshAddress*, int32_t, const char*, int32_t) override {}
  int32_t Closing(uint32_t, int32_t) override;
  int32_t Receive(int32_t, const uint8_t* data, int32_t length) override;
  void Sent(uint32_t backlog) override {
    if (channel) SshChannelUnthrottle(channel, backlog);
  }
  int32_t Accepting(SOCKET socket) override;

  void Free() {
    CheckedFree(held);
    held = nullptr;
    delete this;
  }

  SshChannel* channel = nullptr;
  SshSession* session = nullptr;
  SshSocket* socket = nullptr;
  uint32_t throttled = 0;
  uint32_t throttleOverride = 0;
  uint32_t ready = 0;
  uint32_t dynamic = kDynamicNone;
  char host[kRequestLimit + 1] = {};  // the destination, or the SOCKS request while it is read
  uint32_t port = 0;                  // the destination port, or the request's length
  uint8_t* held = nullptr;            // bytes behind the SOCKS request
  uint32_t heldLength = 0;

 private:
  // Returns false once the connection was closed.
  bool TakeRequestByte(uint8_t b);
  bool OpenChannel();
  void Reply(const void* bytes, uint32_t length) { socket->Write(bytes, length); }
  bool CloseNow() {
    SshSocket* s = socket;
    PortForwardClose(s);
    return false;
  }
  uint8_t Byte(uint32_t i) const { return uint8_t(host[i]); }

};

int32_t ForwardRecord::Accepting(SOCKET handle) {
  auto* r = new ForwardRecord();
  r->session = session;
  SshSocket* s = SshRegisterSocket(handle, r);
  r->socket = s;
  s->SetPrivate(r);
  if (s->Error()) {
    PortForwardClose(s);
    return 0;  // the handle is closed already
  }
  if (dynamic) {
    r->dynamic = kDynamicFirstByte;
    r->port = 0;
    s->SetFrozen(0);
    return 0;
  }
  std::memcpy(r->host, host, sizeof host);
  r->port = port;
  if (!r->OpenChannel()) PortForwardClose(s);
  return 0;
}

bool ForwardRecord::OpenChannel() {
  channel = SshOpenForwardChannel(session, socket);
  if (!channel) return false;
  SshSendPortOpen(channel, host, port);
  socket->SetFrozen(1);  // until the channel is confirmed
  return true;
}

int32_t ForwardRecord::Closing(uint32_t, int32_t) {
  SshSocket* s = socket;
  if (channel) SshChannelClose(channel);
  PortForwardClose(s);
  return 0;
}

int32_t ForwardRecord::Receive(int32_t, const uint8_t* data, int32_t length) {
  for (int32_t i = 0; i < length && dynamic != kDynamicNone; ++i) {
    if (!TakeRequestByte(data[i])) return 0;
    if (dynamic == kDynamicNone && i + 1 < length) {
      // Bytes that followed the request wait for the channel's confirmation.
      heldLength = uint32_t(length - i - 1);
      held = static_cast<uint8_t*>(cvssh::AllocOrDie(heldLength));
      std::memcpy(held, data + i + 1, heldLength);
      return 1;
    }
    if (dynamic == kDynamicNone) return 1;
  }
  if (dynamic != kDynamicNone || !channel || !ready) return 1;
  if (SshChannelWrite(channel, data, uint32_t(length)) > 0) {
    throttled = 1;
    socket->SetFrozen(1);
  }
  return 1;
}

bool ForwardRecord::TakeRequestByte(uint8_t b) {
  if (port >= kRequestLimit) {
    if (dynamic == kSocks4Request || dynamic == kSocks4Name) {
      const uint8_t refused[8] = {0, 91};
      Reply(refused, sizeof refused);
    }
    return CloseNow();
  }
  host[port++] = char(b);
  switch (dynamic) {
    case kDynamicFirstByte:
      if (b == 4) dynamic = kSocks4Request;
      else if (b == 5) dynamic = kSocks5Methods;
      else return CloseNow();
      return true;

    case kSocks4Request:
      if (port == 2 && b != 1) {
        const uint8_t refused[8] = {0, 91};
        Reply(refused, sizeof refused);
        return CloseNow();
      }
      if (port > 8 && b == 0) {
        if (Byte(4) == 0 && Byte(5) == 0 && Byte(6) == 0 && Byte(7) != 0) {
          dynamic = kSocks4Name;  // SOCKS 4A: the host name follows the user id
          port = 8;
          return true;
        }
        uint8_t reply[8];
        std::memcpy(reply, host, 8);
        reply[0] = 0;
        reply[1] = 90;
        uint32_t destinationPort = uint32_t(Byte(2)) << 8 | Byte(3);
        std::snprintf(host, sizeof host, "%u.%u.%u.%u", reply[4], reply[5], reply[6], reply[7]);
        Reply(reply, sizeof reply);
        port = destinationPort;
        dynamic = kDynamicNone;
        return OpenChannel() || CloseNow();
      }
      return true;

    case kSocks4Name:
      if (b == 0) {
        uint8_t reply[8];
        std::memcpy(reply, host, 8);
        reply[0] = 0;
        reply[1] = 90;
        uint32_t destinationPort = uint32_t(Byte(2)) << 8 | Byte(3);
        std::memmove(host, host + 8, port - 8);  // the name, NUL included
        Reply(reply, sizeof reply);
        port = destinationPort;
        dynamic = kDynamicNone;
        return OpenChannel() || CloseNow();
      }
      return true;

    case kSocks5Methods:
      if (port >= 2 && port == 2u + Byte(1)) {
        bool none = std::memchr(host + 2, 0, Byte(1)) != nullptr;
        const uint8_t reply[2] = {5, uint8_t(none ? 0 : 255)};
        Reply(reply, sizeof reply);
        dynamic = kSocks5Request;
        port = 0;
      }
      return true;

    case kSocks5Request: {
      if (port < 5) return true;
      uint32_t total = Byte(3) == 1 ? 10 : Byte(3) == 3 ? 7u + Byte(4) : Byte(3) == 4 ? 22 : 10;
      if (port < total) return true;
      uint8_t reply[10] = {5, 0, 0, 1};
      if (Byte(1) != 1 || Byte(2) != 0 || (Byte(3) != 1 && Byte(3) != 3)) {
        reply[1] = Byte(1) != 1 || Byte(2) != 0 ? 1 : 8;  // 8: address type not supported
        Reply(reply, sizeof reply);
        return CloseNow();
      }
      uint32_t destinationPort = uint32_t(Byte(total - 2)) << 8 | Byte(total - 1);
      if (Byte(3) == 1) {
        std::snprintf(host, sizeof host, "%u.%u.%u.%u", Byte(4), Byte(5), Byte(6), Byte(7));
      } else {
        uint32_t n = Byte(4);
        std::memmove(host, host + 5, n);
        host[n] = 0;
      }
      Reply(reply, sizeof reply);
      port = destinationPort;
      dynamic = kDynamicNone;
      return OpenChannel() || CloseNow();
    }
    default:
      return CloseNow();
  }
}

ForwardRecord* Of(SshSocket* socket) { return socket ? static_cast<ForwardRecord*>(socket->GetPrivate()) : nullptr; }

}  // namespace

uint32_t PortForwardListen(const char* destinationHost, int32_t destinationPort, const char* sourceAddress,
                           int32_t sourcePort, SshSession* session, const SshSettings* settings, SshSocket** out,
                           int32_t family) {
  *out = nullptr;
  auto* r = new ForwardRecord();
  r->session = session;
  if (destinationHost) {
    std::snprintf(r->host, sizeof r->host, "%s", destinationHost);
    r->port = uint32_t(destinationPort);
  } else {
    r->dynamic = 1;  // marks the listener as dynamic; its connections read a request
  }
  SshSocket* s = ProxyNewListener(sourceAddress, sourcePort, r, settings->LocalPortsAcceptAll ? 0 : 1, family);
  if (!s) {
    r->Free();
    return plat::WSAEINVAL;
  }
  if (uint32_t error = s->Error()) {
    s->Close();
    r->Free();
    return error;
  }
  r->socket = s;
  s->SetPrivate(r);
  *out = s;
  return 0;
}

const char* PortForwardConnect(SshSocket** out, const char* host, int32_t port, SshChannel* channel,
                               const SshSettings* settings, int32_t family) {
  *out = nullptr;
  char* canonical = nullptr;
  SshAddress* address = ProxyLookupName(host, &canonical, settings, family);
  if (SshAddressError(address)) {
    SshFreeAddress(address);
    CheckedFree(canonical);
    return "Unable to resolve the forwarded host";
  }
  auto* r = new ForwardRecord();
  r->session = channel->session;
  r->channel = channel;
  r->ready = 1;
  SshSocket* s = ProxyNewConnection(address, canonical, port, 0, r, settings);
  CheckedFree(canonical);
  if (s->Error()) {
    s->Close();
    r->Free();
    return "Unable to connect to the forwarded port";
  }
  r->socket = s;
  s->SetPrivate(r);
  *out = s;
  return nullptr;
}

uint32_t PortForwardSend(SshSocket* socket, const uint8_t* data, uint32_t length) {
  return socket ? socket->Write(data, length) : 0;
}

void PortForwardConfirm(SshSocket* socket) {
  ForwardRecord* r = Of(socket);
  if (!r) return;
  r->ready = 1;
  socket->SetFrozen(int32_t(r->throttled || r->throttleOverride));
  if (r->held && r->channel) SshChannelWrite(r->channel, r->held, r->heldLength);
  CheckedFree(r->held);
  r->held = nullptr;
  r->heldLength = 0;
}

void PortForwardUnthrottle(SshSocket* socket) {
  if (ForwardRecord* r = Of(socket)) {
    r->throttled = 0;
    socket->SetFrozen(int32_t(r->throttleOverride));
  }
}

void PortForwardOverrideThrottle(SshSocket* socket, int32_t on) {
  if (ForwardRecord* r = Of(socket)) {
    r->throttleOverride = on ? 1 : 0;
    socket->SetFrozen(int32_t(r->throttled || r->throttleOverride));
  }
}

void PortForwardClose(SshSocket* socket) {
  if (!socket) return;
  ForwardRecord* r = Of(socket);
  socket->SetPrivate(nullptr);
  socket->Close();
  if (r) r->Free();
}
