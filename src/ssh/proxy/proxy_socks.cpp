// SOCKS 4/4A and SOCKS 5 (no authentication, user name and password, CHAP with
// HMAC-MD5) negotiations, and the telnet-style proxy that is sent a command line.
#include <algorithm>
#include <cstring>
#include <string>

#include "ssh/crypto/mac.h"
#include "ssh/proxy/proxy.h"
#include "ssh/proxy/proxy_socket.h"
#include "ssh/util/alloc.h"

namespace cvssh::proxy {

namespace {

int32_t CommonEvent(ProxySocket* p, int32_t change) {
  if (change == kChangeClosing || change == kChangeAccepting) return p->PassOn(change);
  if (change == kChangeSent) return 1;
  return p->Fail(kProxyErrorUnexpected);
}

void PushPort(std::string* out, int32_t port) {
  out->push_back(char((port >> 8) & 0xFF));
  out->push_back(char(port & 0xFF));
}

// A length byte and at most 255 bytes; an empty text is sent as one NUL byte.
void PushShortText(std::string* out, const char* text) {
  size_t n = std::min<size_t>(std::strlen(text), 255);
  if (n == 0) {
    out->push_back(char(1));
    out->push_back('\0');
    return;
  }
  out->push_back(char(n));
  out->append(text, n);
}

void Socks5Connect(ProxySocket* p) {
  std::string request("\x05\x01\x00", 3);
  uint8_t bytes[16];
  switch (SshAddressType(p->destination)) {
    case kSshAddressIpv4:
      request.push_back(1);
      SshAddressBytes(p->destination, bytes);
      request.append(reinterpret_cast<char*>(bytes), 4);
      break;
    case kSshAddressIpv6:
      request.push_back(4);
      SshAddressBytes(p->destination, bytes);
      request.append(reinterpret_cast<char*>(bytes), 16);
      break;
    default: {
      char name[512];
      p->DestinationText(name, sizeof name);
      size_t n = std::min<size_t>(std::strlen(name), 255);
      request.push_back(3);
      request.push_back(char(n));
      request.append(name, n);
    }
  }
  PushPort(&request, p->port);
  p->Send(request.data(), uint32_t(request.size()));
  p->state = ProxyState::ConnectReply;
}

void SendChapResponse(ProxySocket* p, const uint8_t* challenge, uint32_t length) {
  HmacMd5Context* hmac = HmacMd5Create();
  HmacMd5SetKey(hmac, reinterpret_cast<const uint8_t*>(p->settings.ProxyPassword),
                std::strlen(p->settings.ProxyPassword));
  uint8_t reply[4 + 16] = {1, 1, 4, 16};
  HmacMd5Compute(hmac, challenge, length, reply + 4);
  HmacMd5Free(hmac);
  p->Send(reply, sizeof reply);
}

// Reads the server's CHAP messages as far as they have arrived: 1 to wait for more,
// 0 when the status allowed the connect request, -1 on a refusal.
int32_t ReadChap(ProxySocket* p) {
  for (;;) {
    if (p->chapExpected == 0) {
      if (p->InputSize() < 2) return 1;
      std::vector<uint8_t> header = p->Input(2);
      if (header[0] != 1 || header[1] == 0) return -1;
      p->Consume(2);
      p->chapExpected = header[1];
      p->chapRead = 0;
    }
    if (p->chapType < 0) {
      if (p->InputSize() < 2) return 1;
      std::vector<uint8_t> head = p->Input(2);
      p->Consume(2);
      p->chapType = head[0];
      p->chapLength = head[1];
    }
    if (p->InputSize() < uint32_t(p->chapLength)) return 1;
    std::vector<uint8_t> value = p->Input(uint32_t(p->chapLength));
    p->Consume(uint32_t(p->chapLength));
    int32_t type = p->chapType;
    p->chapType = -1;
    if (++p->chapRead == p->chapExpected) p->chapExpected = 0;
    switch (type) {
      case 0:
        if (value.empty() || value[0] != 0) return -1;
        return 0;
      case 3:
        SendChapResponse(p, value.data(), uint32_t(value.size()));
        break;
      case 17:
        if (value.empty() || value[0] != 133) return -1;
        break;
      default:
        break;
    }
  }
}

}  // namespace

int32_t NegotiateSocks4(ProxySocket* p, int32_t change) {
  if (change == kChangeStart) {
    int32_t type = SshAddressType(p->destination);
    if (type == kSshAddressIpv6) return p->Fail(kProxyErrorRefused);
    std::string request("\x04\x01", 2);
    PushPort(&request, p->port);
    uint8_t address[4] = {0, 0, 0, 1};
    if (type == kSshAddressIpv4) SshAddressBytes(p->destination, address);
    request.append(reinterpret_cast<char*>(address), 4);
    request.append(p->settings.ProxyUserName, std::strlen(p->settings.ProxyUserName) + 1);
    if (type == kSshAddressName) {
      char name[512];
      p->DestinationText(name, sizeof name);
      request.append(name, std::strlen(name) + 1);
    }
    p->Send(request.data(), uint32_t(request.size()));
    p->state = ProxyState::AwaitingReply;
    return 1;
  }
  if (change != kChangeReceive) return CommonEvent(p, change);
  if (p->InputSize() < 8) return 1;
  std::vector<uint8_t> reply = p->Input(8);
  if (reply[0] != 0 || reply[1] != 90) return p->Fail(kProxyErrorRefused);
  p->Consume(8);
  return p->Activate();
}

int32_t NegotiateSocks5(ProxySocket* p, int32_t change) {
  const SshSettings& s = p->settings;
  bool credentials = s.ProxyUserName[0] || s.ProxyPassword[0];
  if (change == kChangeStart) {
    if (credentials)
      p->Send("\x05\x03\x00\x03\x02", 5);
    else
      p->Send("\x05\x01\x00", 3);
    p->state = ProxyState::MethodReply;
    return 1;
  }
  if (change != kChangeReceive) return CommonEvent(p, change);
  for (;;) {
    switch (p->state) {
      case ProxyState::MethodReply: {
        if (p->InputSize() < 2) return 1;
        std::vector<uint8_t> reply = p->Input(2);
        p->Consume(2);
        if (reply[0] != 5) return p->Fail(kProxyErrorRefused);
        if (reply[1] == 0) {
          Socks5Connect(p);
        } else if (reply[1] == 2) {
          if (!credentials) return p->Fail(kProxyErrorRefused);
          std::string request(1, '\x01');
          PushShortText(&request, s.ProxyUserName);
          PushShortText(&request, s.ProxyPassword);
          p->Send(request.data(), uint32_t(request.size()));
          explicit_bzero(request.data(), request.size());
          p->state = ProxyState::PasswordReply;
        } else if (reply[1] == 3) {
          if (!credentials) return p->Fail(kProxyErrorRefused);
          std::string request("\x01\x02\x11\x01\x85\x02", 6);
          PushShortText(&request, s.ProxyUserName);
          p->Send(request.data(), uint32_t(request.size()));
          p->chapExpected = 0;
          p->chapType = -1;
          p->state = ProxyState::ChapMessages;
        } else {
          return p->Fail(kProxyErrorRefused);
        }
        break;
      }
      case ProxyState::PasswordReply: {
        if (p->InputSize() < 2) return 1;
        std::vector<uint8_t> reply = p->Input(2);
        p->Consume(2);
        if (reply[0] != 1 || reply[1] != 0) return p->Fail(kProxyErrorRefused);
        Socks5Connect(p);
        break;
      }
      case ProxyState::ChapMessages: {
        int32_t r = ReadChap(p);
        if (r > 0) return 1;
        if (r < 0) return p->Fail(kProxyErrorRefused);
        Socks5Connect(p);
        break;
      }
      case ProxyState::ConnectReply: {
        if (p->InputSize() < 5) return 1;
        std::vector<uint8_t> head = p->Input(5);
        if (head[0] != 5 || head[1] != 0) return p->Fail(kProxyErrorRefused);
        uint32_t total = head[3] == 1 ? 10 : head[3] == 3 ? 7u + head[4] : head[3] == 4 ? 22 : 0;
        if (total == 0) return p->Fail(kProxyErrorRefused);
        if (p->InputSize() < total) return 1;
        p->Consume(total);
        return p->Activate();
      }
      default:
        return p->Fail(kProxyErrorUnexpected);
    }
  }
}

int32_t NegotiateTelnet(ProxySocket* p, int32_t change) {
  if (change == kChangeStart) {
    char* command = ProxyFormatCommand(p->destination, p->port, &p->settings);
    p->Send(command, uint32_t(std::strlen(command)));
    CheckedFree(command);
    p->state = ProxyState::AwaitingReply;
    return 1;
  }
  if (change != kChangeReceive) return CommonEvent(p, change);
  // The first answer agrees; it stays queued and reaches the owner after activation.
  return p->Activate();
}

}  // namespace cvssh::proxy
