// Start-up, protocol enumeration and the interface list, and the table of adapters.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/net/adapters.h"

namespace plat::net {

namespace {

std::atomic<int32_t> g_startups{0};

bool Ipv6Works() {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

int WsaStartup(WORD version, WSADATA* data) {
  if (!data) return int(WSAEFAULT);
  // Versions below 1.1 are not offered.
  unsigned major = version & 0xFF, minor = version >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return int(WSAVERNOTSUPPORTED);
  std::memset(data, 0, sizeof *data);
  data->wVersion = 0x0202;
  data->wHighVersion = 0x0202;
  std::strcpy(data->szDescription, "POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  g_startups.fetch_add(1);
  return 0;
}

int WsaCleanup() {
  int32_t n = g_startups.load();
  do {
    if (n <= 0) return Fail(WSANOTINITIALISED);
  } while (!g_startups.compare_exchange_weak(n, n - 1));
  return 0;
}

int EnumProtocols(const int32_t* protocols, ProtocolInfo* buffer, uint32_t* bufferLength) {
  if (!bufferLength) return Fail(WSAEFAULT);
  auto wanted = [&](int32_t protocol) {
    if (!protocols) return true;
    for (const int32_t* p = protocols; *p; ++p)
      if (*p == protocol) return true;
    return false;
  };
  std::vector<ProtocolInfo> found;
  bool v6 = Ipv6Works();
  for (int32_t family : {kAfInet, kAfInet6}) {
    if (family == kAfInet6 && !v6) continue;
    if (wanted(kIpProtoTcp)) found.push_back({family, kSockStream, kIpProtoTcp});
    if (wanted(kIpProtoUdp)) found.push_back({family, kSockDgram, kIpProtoUdp});
  }
  uint32_t needed = uint32_t(found.size() * sizeof(ProtocolInfo));
  if (!buffer || *bufferLength < needed) {
    *bufferLength = needed;
    return Fail(WSAENOBUFS);
  }
  std::memcpy(buffer, found.data(), needed);
  return int(found.size());
}

int WsaIoctl(SOCKET s, uint32_t code, void*, uint32_t, void* out, uint32_t outLength, uint32_t* bytesReturned,
             void*, void*) {
  if (FdOf(s) < 0) return -1;
  if (code != kSioGetInterfaceList) return Fail(WSAEINVAL);
  if (!out || !bytesReturned) return Fail(WSAEFAULT);
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return FailErrno();
  std::vector<InterfaceInfo> entries;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    InterfaceInfo e{};
    if (i->ifa_flags & IFF_UP) e.iiFlags |= kIffUp;
    if (i->ifa_flags & IFF_BROADCAST) e.iiFlags |= kIffBroadcast;
    if (i->ifa_flags & IFF_LOOPBACK) e.iiFlags |= kIffLoopback;
    if (i->ifa_flags & IFF_POINTOPOINT) e.iiFlags |= kIffPointToPoint;
    if (i->ifa_flags & IFF_MULTICAST) e.iiFlags |= kIffMulticast;
    std::memcpy(&e.iiAddress.AddressIn, i->ifa_addr, sizeof(sockaddr_in));
    if (i->ifa_netmask) std::memcpy(&e.iiNetmask.AddressIn, i->ifa_netmask, sizeof(sockaddr_in));
    if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
      std::memcpy(&e.iiBroadcastAddress.AddressIn, i->ifa_broadaddr, sizeof(sockaddr_in));
    entries.push_back(e);
  }
  ::freeifaddrs(list);
  uint32_t needed = uint32_t(entries.size() * sizeof(InterfaceInfo));
  if (outLength < needed) {
    *bytesReturned = needed;
    return Fail(WSAEFAULT);
  }
  std::memcpy(out, entries.data(), needed);
  *bytesReturned = needed;
  return 0;
}

namespace {

int WsaGetLastError() { return int(GetLastError()); }
void WsaSetLastError(int error) { SetLastError(uint32_t(error)); }
uint32_t HostToNet32(uint32_t v) { return htonl(v); }
uint16_t HostToNet16(uint16_t v) { return htons(v); }
uint32_t NetToHost32(uint32_t v) { return ntohl(v); }
uint16_t NetToHost16(uint16_t v) { return ntohs(v); }

}  // namespace

}  // namespace plat::net

namespace plat {

const WsaTable& WsaAdapters() noexcept {
  using namespace net;
  static const WsaTable table{
      .accept = Accept,
      .bind = Bind,
      .closesocket = CloseSocket,
      .connect = Connect,
      .gethostbyname = GetHostByName,
      .gethostname = GetHostName,
      .getpeername = GetPeerName,
      .getservbyname = GetServByName,
      .getsockname = GetSockName,
      .getsockopt = GetSockOpt,
      .htonl = HostToNet32,
      .htons = HostToNet16,
      .inet_ntoa = InetNtoa,
      .ioctlsocket = IoctlSocket,
      .listen = Listen,
      .ntohl = NetToHost32,
      .ntohs = NetToHost16,
      .recv = Recv,
      .select = Select,
      .send = Send,
      .setsockopt = SetSockOpt,
      .shutdown = Shutdown,
      .socket = Socket,
      .WSAAddressToStringA = AddressToString,
      .WSAAsyncSelect = AsyncSelect,
      .WSACleanup = WsaCleanup,
      .WSAEnumNetworkEvents = EnumNetworkEvents,
      .WSAEnumProtocolsA = EnumProtocols,
      .WSAEventSelect = EventSelect,
      .WSAGetLastError = WsaGetLastError,
      .WSASetLastError = WsaSetLastError,
      .WSAIoctl = WsaIoctl,
      .WSAStartup = WsaStartup,
      .freeaddrinfo = FreeAddrInfo,
      .getaddrinfo = GetAddrInfo,
      .getnameinfo = GetNameInfo,
      .inet_ntop = InetNtop,
      .inet_pton = InetPton,
      .IdnToAscii = IdnToAscii,
  };
  return table;
}

}  // namespace plat
