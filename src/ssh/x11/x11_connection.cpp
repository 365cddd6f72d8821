// The local end of an X11 channel: a connection to the display, on which the client's
// connection setup is held back until its authorisation has been checked against the
// made-up cookie and then passed on with the local display's (empty) authorisation.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/net/wsa_errors.h"
#include "ssh/proto/channel.h"
#include "ssh/proxy/proxy.h"
#include "ssh/util/alloc.h"
#include "ssh/x11/x11.h"

namespace {

constexpr int32_t kX11BasePort = 6000;

uint32_t RoundUp4(uint32_t n) { return (n + 3) & ~3u; }

class X11Connection final : public SshPlug {
 public:
  void Log(int32_t, const SshAddress*, int32_t, const char*, int32_t) override {}
  int32_t Closing(uint32_t, int32_t) override {
    SshSocket* s = socket;
    if (channel) SshChannelClose(channel);
    X11Close(s);
    return 1;
  }
  int32_t Receive(int32_t, const uint8_t* data, int32_t length) override {
    if (!channel) return 1;
    if (SshChannelWrite(channel, data, uint32_t(length)) > 0) {
      throttled = 1;
      socket->SetFrozen(1);
    }
    return 1;
  }
  void Sent(uint32_t backlog) override {
    if (channel) SshChannelUnthrottle(channel, backlog);
  }
  int32_t Accepting(SOCKET) override { return 1; }

  uint32_t Send(const uint8_t* data, uint32_t length);
  void ReleaseSetup() {
    CheckedFree(name);
    CheckedFree(authData);
    name = nullptr;
    authData = nullptr;
  }

  X11Auth* auth = nullptr;
  uint8_t header[12] = {};
  uint32_t have = 0;
  uint32_t nameLength = 0, nameRounded = 0, dataLength = 0, dataRounded = 0;
  uint32_t verified = 0;
  char* name = nullptr;
  uint8_t* authData = nullptr;
  uint32_t throttled = 0, throttleOverride = 0;
  uint32_t peerAddress = 0;
  int32_t peerPort = -1;
  SshChannel* channel = nullptr;
  SshSocket* socket = nullptr;

 private:
  bool BigEndian() const { return header[0] == 'B'; }
  uint32_t Field(int at) const {
    return BigEndian() ? uint32_t(header[at]) << 8 | header[at + 1] : uint32_t(header[at + 1]) << 8 | header[at];
  }
  void PutField(uint8_t* p, uint32_t v) const {
    p[BigEndian() ? 0 : 1] = uint8_t(v >> 8);
    p[BigEndian() ? 1 : 0] = uint8_t(v);
  }
  void Refuse(const char* reason);
};

void X11Connection::Refuse(const char* reason) {
  char text[256];
  uint32_t n = uint32_t(std::snprintf(text, sizeof text, "X11 Proxy: %s", reason));
  if (n > 255) n = 255;
  std::string reply(8 + RoundUp4(n), '\0');
  reply[1] = char(n);
  std::memcpy(&reply[2], header + 2, 4);
  PutField(reinterpret_cast<uint8_t*>(&reply[6]), (n + 3) / 4);
  std::memcpy(&reply[8], text, n);
  SshSocket* s = socket;
  SshChannel* c = channel;
  channel = nullptr;
  SshChannelWrite(c, reinterpret_cast<const uint8_t*>(reply.data()), uint32_t(reply.size()));
  SshChannelClose(c);
  X11Close(s);
}

uint32_t X11Connection::Send(const uint8_t* data, uint32_t length) {
  if (!verified) {
    while (have < 12 && length) {
      header[have++] = *data++;
      --length;
    }
    if (have < 12) return 0;
    if (!name) {
      nameLength = Field(6);
      dataLength = Field(8);
      nameRounded = RoundUp4(nameLength);
      dataRounded = RoundUp4(dataLength);
      name = static_cast<char*>(cvssh::AllocOrDie(nameRounded + 1));
      authData = static_cast<uint8_t*>(cvssh::AllocOrDie(dataRounded + 1));
    }
    while (have < 12 + nameRounded && length) {
      name[have++ - 12] = char(*data++);
      --length;
    }
    while (have < 12 + nameRounded + dataRounded && length) {
      authData[have++ - 12 - nameRounded] = *data++;
      --length;
    }
    if (have < 12 + nameRounded + dataRounded) return 0;

    name[nameLength] = 0;
    const char* refusal = X11CheckAuth(peerAddress, peerPort, auth, name, authData, dataLength);
    explicit_bzero(authData, dataRounded);
    if (refusal) {
      ReleaseSetup();
      Refuse(refusal);
      return 0;
    }
    // The local display gets no authorisation (protocol 0): both lengths become 0.
    const char* localName = X11ProtocolName(auth->localProtocol);
    uint32_t localNameLength = uint32_t(std::strlen(localName));
    uint32_t localDataLength = auth->localProtocol ? auth->localLength : 0;
    PutField(header + 6, localNameLength);
    PutField(header + 8, localDataLength);
    socket->Write(header, 12);
    if (localNameLength) {
      std::string padded(localName, localNameLength);
      padded.resize(RoundUp4(localNameLength), '\0');
      socket->Write(padded.data(), uint32_t(padded.size()));
    }
    ReleaseSetup();
    verified = 1;
  }
  return length ? socket->Write(data, length) : 0;
}

X11Connection* Of(SshSocket* socket) { return socket ? static_cast<X11Connection*>(socket->GetPrivate()) : nullptr; }

}  // namespace

const char* X11Open(SshSocket** out, const char* display, X11Auth* auth, const char* peerAddress, int32_t peerPort,
                    SshChannel* channel, const SshSettings* settings) {
  *out = nullptr;
  char* name = X11DisplayName(display);
  const char* colon = std::strrchr(name, ':');
  std::string host(name, colon ? size_t(colon - name) : std::strlen(name));
  int32_t number = colon ? std::atoi(colon + 1) : 0;
  CheckedFree(name);
  if (host.size() > 127) host.resize(127);
  if (host == "unix") return "X11 display is a local socket";

  auto* x = new X11Connection();
  x->auth = auth;
  x->channel = channel;
  unsigned a, b, c, d;
  if (peerAddress && std::sscanf(peerAddress, "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a < 256 && b < 256 &&
      c < 256 && d < 256) {
    x->peerAddress = a << 24 | b << 16 | c << 8 | d;
    x->peerPort = peerPort;
  }
  char* canonical = nullptr;
  SshAddress* address = ProxyLookupName(host.c_str(), &canonical, settings, 0);
  if (uint32_t error = SshAddressError(address)) {
    (void)error;
    SshFreeAddress(address);
    CheckedFree(canonical);
    delete x;
    return "Unable to resolve the X11 display";
  }
  SshSocket* s = ProxyNewConnection(address, canonical, kX11BasePort + number, 0, x, settings);
  CheckedFree(canonical);
  if (s->Error()) {
    s->Close();
    delete x;
    return "Unable to connect to the X11 display";
  }
  x->socket = s;
  s->SetPrivate(x);
  *out = s;
  return nullptr;
}

uint32_t X11Send(SshSocket* socket, const uint8_t* data, uint32_t length) {
  X11Connection* x = Of(socket);
  return x ? x->Send(data, length) : 0;
}

void X11Close(SshSocket* socket) {
  X11Connection* x = Of(socket);
  if (!socket) return;
  socket->SetPrivate(nullptr);
  socket->Close();
  if (x) {
    x->ReleaseSetup();
    delete x;
  }
}

void X11Unthrottle(SshSocket* socket) {
  if (X11Connection* x = Of(socket)) {
    x->throttled = 0;
    socket->SetFrozen(int32_t(x->throttleOverride));
  }
}

void X11OverrideThrottle(SshSocket* socket, int32_t on) {
  if (X11Connection* x = Of(socket)) {
    x->throttleOverride = on ? 1 : 0;
    socket->SetFrozen(int32_t(x->throttled || x->throttleOverride));
  }
}
