// Address and name helpers of the TCP server control, the handle test, tracing and the
// module handle.
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "core/trace/trace.h"
#include "platform/net/wsa_errors.h"
#include "sockets/inet_internal.h"
#include "tcpsrv/extras/server_extras.h"

using namespace cvsock;

namespace {

constexpr uint32_t kHostNameSize = 256;

}  // namespace

int32_t SockReverseLookup(const sockaddr* address, uint32_t length, char* buffer) {
  if (!address || !buffer) return int32_t(plat::WSAEINVAL);
  if (InetIsInitialized() == 0) return int32_t(plat::WSANOTINITIALISED);
  if (address->sa_family != AF_INET && address->sa_family != AF_INET6) return int32_t(plat::WSAEAFNOSUPPORT);
  buffer[0] = '\0';
  const int rc = ::getnameinfo(address, socklen_t(length), buffer, kHostNameSize, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) {
    buffer[0] = '\0';
    const uint32_t err = plat::WsaErrorFromGai(rc, errno);
    TracePrintf(kTraceErrors, "reverse look-up failed with error %u", unsigned(err));
    return int32_t(err);
  }
  TracePrintf(kTraceInformation, "reverse look-up gave \"%s\"", buffer);
  return 0;
}

int32_t InetFormatHostName(const SockAddress* address, char* buffer) {
  if (!address || !buffer) return Fail(cvErrorInvalidParameter);
  buffer[0] = '\0';
  if (address->family != uint32_t(plat::kAfInet) && address->family != uint32_t(plat::kAfInet6))
    return Fail(cvErrorInvalidAddress);
  sockaddr_storage storage{};
  uint32_t length = 0;
  if (!InetMakeSockaddr(address, 0, &storage, &length)) return -1;
  char name[kHostNameSize] = {};
  if (int32_t err = SockReverseLookup(reinterpret_cast<sockaddr*>(&storage), length, name); err != 0)
    return Fail(kCvErrorBase | uint32_t(err));
  std::strncpy(buffer, name, kHostNameSize - 1);
  buffer[kHostNameSize - 1] = '\0';
  return int32_t(std::strlen(buffer));
}

int32_t InetGetHostName128(char* buffer) { return InetGetFullHostName(buffer, 128); }

int32_t InetGetExternalAddress4(SockAddress* out) { return InetGetExternalAddress(uint32_t(plat::kAfInet), out); }

int32_t InetIsKnownHandle(uint64_t value) {
  if (value == uint64_t(INVALID_SOCKET)) return 0;
  return FindRecord(SOCKET(value)) ? 1 : 0;
}

int32_t InetTraceStart(const char* file, int32_t flags) { return TraceEnable(file, flags); }

int32_t InetTraceStop() { return TraceDisable(); }

void* InetGetModuleHandle() { return Library().Module(); }

int32_t SockConnect16(SOCKET s, const sockaddr* address) { return SockConnect(s, address, 16); }
