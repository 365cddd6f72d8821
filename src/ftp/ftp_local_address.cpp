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

// The local address of the session's connection, or of this host; its family.
cvftp::Result<int32_t> LocalAddress(LibHandle handle, uint32_t family, SockAddress* address) noexcept {
  using namespace cvftp;
  if (address) std::memset(address, 0, sizeof *address);
  if (family == 0) family = plat::kAfInet;
  SOCKET sock = INVALID_SOCKET;
  // The SSH connection's socket of an SFTP session comes with the SFTP code. No session (or
  // none of the caller's) means this host.
  if (const Result<FtpSession*> found = Library().LookupOwned(handle); found.ok() && !Gone(*found.value()))
    sock = found.value()->header.controlSocket;
  if (sock != INVALID_SOCKET) {
    sockaddr_storage local{};
    int32_t length = sizeof local;
    if (SockGetLocalName(sock, reinterpret_cast<sockaddr*>(&local), &length) != 0) return PlatformError();
    if (!FillRecord(reinterpret_cast<sockaddr*>(&local), address)) return Status(cvErrorProtocolFamily);
    return int32_t(address ? address->family : plat::WsaFamily(local.ss_family));
  }
  if (!address) return Status(cvErrorInvalidParameter);
  char name[kLocalNameSize] = "";
  addrinfo hints{};
  hints.ai_family = int(family);
  addrinfo* list = nullptr;
  if (SockGetHostName(name, kLocalNameSize - 1) != 0 || SockLookupHost(name, &hints, &list) != 0 || !list)
    return Status(cvErrorUnknownLocalhost);
  const bool ok = FillRecord(list->ai_addr, address);
  SockFreeHostList(list);
  if (!ok) return Status(cvErrorUnknownLocalhost);
  return int32_t(address->family);
}

}  // namespace

int32_t FtpGetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address) {
  return cvftp::Library().Finish(LocalAddress(handle, family, address), -1);
}
