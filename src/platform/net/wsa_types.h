#pragma once
// Windows Sockets records and constants as the libraries use them. Socket addresses are the
// native Linux ones; address families keep the Windows numbers at every interface
// (2 = IPv4, 23 = IPv6) and are translated only where a native call needs them. Socket
// levels and option numbers are the Windows ones as well.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/types.h"

namespace plat {

inline constexpr int32_t kAfUnspec = 0;
inline constexpr int32_t kAfInet = 2;
inline constexpr int32_t kAfInet6 = 23;

// Native family for a Windows family number, -1 when unsupported.
constexpr int NativeFamily(int32_t family) noexcept {
  return family == kAfInet ? AF_INET : family == kAfInet6 ? AF_INET6 : family == kAfUnspec ? AF_UNSPEC : -1;
}
// Windows family number for a native family.
constexpr int32_t WsaFamily(int native) noexcept {
  return native == AF_INET6 ? kAfInet6 : native == AF_INET ? kAfInet : native == AF_UNSPEC ? kAfUnspec : -1;
}

// Socket levels and options (Windows numbering).
inline constexpr int32_t kSolSocket = 0xFFFF;
inline constexpr int32_t kSoDebug = 0x0001;
inline constexpr int32_t kSoAcceptConn = 0x0002;
inline constexpr int32_t kSoReuseAddr = 0x0004;
inline constexpr int32_t kSoKeepAlive = 0x0008;
inline constexpr int32_t kSoDontRoute = 0x0010;
inline constexpr int32_t kSoBroadcast = 0x0020;
inline constexpr int32_t kSoLinger = 0x0080;
inline constexpr int32_t kSoOobInline = 0x0100;
inline constexpr int32_t kSoDontLinger = ~0x0080;
inline constexpr int32_t kSoSndBuf = 0x1001;
inline constexpr int32_t kSoRcvBuf = 0x1002;
inline constexpr int32_t kSoSndTimeo = 0x1005;
inline constexpr int32_t kSoRcvTimeo = 0x1006;
inline constexpr int32_t kSoError = 0x1007;
inline constexpr int32_t kSoType = 0x1008;
inline constexpr int32_t kIpProtoIp = 0;
inline constexpr int32_t kIpProtoTcp = 6;
inline constexpr int32_t kIpProtoUdp = 17;
inline constexpr int32_t kIpProtoIpv6 = 41;
inline constexpr int32_t kTcpNoDelay = 1;
inline constexpr int32_t kIpTtl = 4;
inline constexpr int32_t kIpv6ProtectionLevel = 23;
inline constexpr int32_t kIpv6V6Only = 27;
inline constexpr int32_t kProtectionLevelUnrestricted = 10;
inline constexpr int32_t kSoMaxConn = 0x7FFFFFFF;

// Socket types (same numbers on both systems).
inline constexpr int32_t kSockStream = 1;
inline constexpr int32_t kSockDgram = 2;

// send/recv flags (Windows numbering).
inline constexpr int32_t kMsgOob = 0x1;
inline constexpr int32_t kMsgPeek = 0x2;
inline constexpr int32_t kMsgDontRoute = 0x4;
inline constexpr int32_t kMsgWaitAll = 0x8;

// shutdown directions.
inline constexpr int32_t kSdReceive = 0;
inline constexpr int32_t kSdSend = 1;
inline constexpr int32_t kSdBoth = 2;

// ioctlsocket commands.
inline constexpr int32_t kFionRead = 0x4004667F;
inline constexpr int32_t kFionBio = int32_t(0x8004667E);
inline constexpr int32_t kSiocAtMark = 0x40047307;
// WSAIoctl code for the IPv4 interface list.
inline constexpr uint32_t kSioGetInterfaceList = 0x4004747F;

// Network events of async and event selection, and their bit positions.
inline constexpr int32_t FD_READ = 0x01;
inline constexpr int32_t FD_WRITE = 0x02;
inline constexpr int32_t FD_OOB = 0x04;
inline constexpr int32_t FD_ACCEPT = 0x08;
inline constexpr int32_t FD_CONNECT = 0x10;
inline constexpr int32_t FD_CLOSE = 0x20;
inline constexpr int32_t FD_ALL_EVENTS = 0x3F;
inline constexpr int FD_MAX_EVENTS = 10;
inline constexpr int FD_READ_BIT = 0;
inline constexpr int FD_WRITE_BIT = 1;
inline constexpr int FD_OOB_BIT = 2;
inline constexpr int FD_ACCEPT_BIT = 3;
inline constexpr int FD_CONNECT_BIT = 4;
inline constexpr int FD_CLOSE_BIT = 5;

// The lParam of a socket message: event in the low word, error in the high word.
constexpr LPARAM WSAMakeSelectReply(uint32_t event, uint32_t error) noexcept {
  return LPARAM(MAKELONG(WORD(event), WORD(error)));
}

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
};

struct WsaNetworkEvents {
  int32_t lNetworkEvents;
  int32_t iErrorCode[FD_MAX_EVENTS];
};

// A set of up to 64 sockets, the Windows layout: a count and an array (never a bit map, so
// descriptor numbers of 1024 and above are fine).
inline constexpr uint32_t kFdSetSize = 64;
struct FdSet {
  uint32_t fd_count;
  SOCKET fd_array[kFdSetSize];
};

struct TimeVal {
  int32_t tv_sec;
  int32_t tv_usec;
};

// Host and service records with the Windows field types.
struct HostEnt {
  char* h_name;
  char** h_aliases;
  int16_t h_addrtype;
  int16_t h_length;
  char** h_addr_list;
};

struct ServEnt {
  char* s_name;
  char** s_aliases;
  char* s_proto;
  int16_t s_port;  // network byte order
};

// One entry of the IPv4 interface list: flags and three 24-byte address slots.
union SockAddrGen {
  sockaddr Address;
  sockaddr_in AddressIn;
  char raw[24];
};
struct InterfaceInfo {
  uint32_t iiFlags;
  SockAddrGen iiAddress;
  SockAddrGen iiBroadcastAddress;
  SockAddrGen iiNetmask;
};
static_assert(sizeof(InterfaceInfo) == 76, "16 entries must fill 1,216 bytes");
inline constexpr uint32_t kIffUp = 0x1;
inline constexpr uint32_t kIffBroadcast = 0x2;
inline constexpr uint32_t kIffLoopback = 0x4;
inline constexpr uint32_t kIffPointToPoint = 0x8;
inline constexpr uint32_t kIffMulticast = 0x10;

// What the protocol enumeration reports of one transport: the fields callers look at.
struct ProtocolInfo {
  int32_t iAddressFamily;
  int32_t iSocketType;
  int32_t iProtocol;
};

}  // namespace plat
