// Listening sockets of the SSH layer (port forwarding): an IPv4 listener made for any
// family gets an IPv6 companion on the same port.
#include <arpa/inet.h>

#include <cstring>

#include "core/sock/sock.h"
#include "platform/net/wsa_errors.h"
#include "ssh/net/tcp_socket.h"

namespace {

using cvssh::net::TcpSocket;

TcpSocket* Listen(const char* source, int32_t port, SshPlug* plug, int32_t localOnly, bool ipv6) {
  auto* t = static_cast<TcpSocket*>(nullptr);
  SOCKET s = SockCreate(ipv6 ? plat::kAfInet6 : plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
  if (s == INVALID_SOCKET) return nullptr;
  int32_t one = 1;
  SockSetOption(s, plat::kSolSocket, plat::kSoReuseAddr, &one);
  sockaddr_storage local{};
  int32_t length;
  bool local127 = false;
  if (ipv6) {
    SockSetOption(s, plat::kIpProtoIpv6, plat::kIpv6V6Only, &one);
    auto* a = reinterpret_cast<sockaddr_in6*>(&local);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(uint16_t(port));
    a->sin6_addr = localOnly ? in6addr_loopback : in6addr_any;
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&local);
    a->sin_family = AF_INET;
    a->sin_port = htons(uint16_t(port));
    in_addr given{};
    if (source && SockInetPton(plat::kAfInet, source, &given) == 1) {
      a->sin_addr = given;
      local127 = (ntohl(given.s_addr) >> 24) == 127;
    } else {
      a->sin_addr.s_addr = htonl(localOnly ? INADDR_LOOPBACK : INADDR_ANY);
    }
    length = sizeof *a;
  }
  if (SockBind(s, reinterpret_cast<sockaddr*>(&local), length) != 0 || SockListen(s) != 0 ||
      SshEventSelect(s, 1) != 0) {
    uint32_t e = SockGetLastError();
    SockClose(s);
    t = new TcpSocket(plug);
    t->error_ = e ? e : plat::WSAEADDRINUSE;
    return t;
  }
  t = new TcpSocket(plug);
  t->handle = s;
  t->listening = 1;
  t->localOnly = (localOnly || local127) ? 1 : 0;
  cvssh::net::RegistryAdd(t);
  return t;
}

}  // namespace

SshSocket* SshNewListener(const char* sourceAddress, int32_t port, SshPlug* plug, int32_t localOnly,
                          int32_t family) {
  TcpSocket* main = Listen(sourceAddress, port, plug, localOnly, family == 2);
  if (!main) {
    main = new TcpSocket(plug);
    main->error_ = SockGetLastError();
    return main;
  }
  if (family == 0 && main->Error() == 0) {
    // Port 0 asked for any port: the companion takes the one the IPv4 listener got.
    sockaddr_in bound{};
    int32_t length = sizeof bound;
    if (port == 0 && SockGetLocalName(main->handle, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
      port = ntohs(bound.sin_port);
    TcpSocket* six = Listen(nullptr, port, plug, localOnly, true);
    if (six && six->Error() == 0) {
      main->companion = six;
      six->parent = main;
    } else if (six) {
      six->Close();
    }
  }
  return main;
}
