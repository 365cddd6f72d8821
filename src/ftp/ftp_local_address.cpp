// The local address of a session's connection, or of this host.
#include <netinet/in.h>

#include <cstring>

#include "ftp/ftp_internal.h"
#include "platform/net/wsa_types.h"

namespace {

constexpr int32_t kLocalNameSize = 1025;  // 1,024 characters and the terminator

bool FillRecord(const sockaddr* sa, SockAddress* out) {
  SockAddress record{};
  if (sa->sa_family == AF_INET) {
    record.family = plat::kAfInet;
    std::memcpy(record.address, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
  } else if (sa->sa_family == AF_INET6) {
    record.family = plat::kAfInet6;
    std::memcpy(record.address, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
  } else {
    return false;
  }
  if (out) *out = record;
  return true;
}

}  // namespace

int32_t FtpGetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address) {
  if (address) std::memset(address, 0, sizeof *address);
  if (family == 0) family = plat::kAfInet;
  SOCKET sock = INVALID_SOCKET;
  {
    const uint32_t kept = FtpGetLastError();
    // The SSH connection's socket of an SFTP session comes with the SFTP code.
    if (FtpSession* s = FtpGetSession(handle)) sock = s->header.controlSocket;
    FtpSetLastError(kept);
  }
  if (sock != INVALID_SOCKET) {
    sockaddr_storage local{};
    int32_t length = sizeof local;
    if (SockGetLocalName(sock, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      cvftp::TakePlatformError();
      return -1;
    }
    if (!FillRecord(reinterpret_cast<sockaddr*>(&local), address)) return cvftp::Fail(cvErrorProtocolFamily);
    return int32_t(address ? address->family : plat::WsaFamily(local.ss_family));
  }
  if (!address) return cvftp::Fail(cvErrorInvalidParameter);
  char name[kLocalNameSize] = "";
  addrinfo hints{};
  hints.ai_family = int(family);
  addrinfo* list = nullptr;
  if (SockGetHostName(name, kLocalNameSize - 1) != 0 || SockLookupHost(name, &hints, &list) != 0 || !list)
    return cvftp::Fail(cvErrorUnknownLocalhost);
  const bool ok = FillRecord(list->ai_addr, address);
  SockFreeHostList(list);
  if (!ok) return cvftp::Fail(cvErrorUnknownLocalhost);
  return int32_t(address->family);
}
