#pragma once
// The socket interface of the platform layer: a table of entry points with the Windows
// Sockets contracts (results, error numbers in the thread's last error, Windows option and
// family numbers), filled with adapters over POSIX sockets. The network core copies the
// table into its binding; a null entry there means "not available" (WSANOTINITIALISED).
#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "platform/net/wsa_types.h"
#include "platform/types.h"

namespace plat {

class NetEventSet;

struct WsaTable {
  SOCKET (*accept)(SOCKET s, sockaddr* address, int32_t* length);
  int (*bind)(SOCKET s, const sockaddr* address, int32_t length);
  int (*closesocket)(SOCKET s);
  int (*connect)(SOCKET s, const sockaddr* address, int32_t length);
  HostEnt* (*gethostbyname)(const char* name);
  int (*gethostname)(char* buffer, int32_t size);
  int (*getpeername)(SOCKET s, sockaddr* address, int32_t* length);
  ServEnt* (*getservbyname)(const char* name, const char* protocol);
  int (*getsockname)(SOCKET s, sockaddr* address, int32_t* length);
  int (*getsockopt)(SOCKET s, int32_t level, int32_t option, char* value, int32_t* length);
  uint32_t (*htonl)(uint32_t v);
  uint16_t (*htons)(uint16_t v);
  char* (*inet_ntoa)(uint32_t address);  // network byte order in, per-thread text out
  int (*ioctlsocket)(SOCKET s, int32_t command, uint32_t* argument);
  int (*listen)(SOCKET s, int32_t backlog);
  uint32_t (*ntohl)(uint32_t v);
  uint16_t (*ntohs)(uint16_t v);
  int (*recv)(SOCKET s, char* buffer, int32_t length, int32_t flags);
  int (*select)(int32_t nfds, FdSet* readSet, FdSet* writeSet, FdSet* errorSet, const TimeVal* timeout);
  int (*send)(SOCKET s, const char* buffer, int32_t length, int32_t flags);
  int (*setsockopt)(SOCKET s, int32_t level, int32_t option, const char* value, int32_t length);
  int (*shutdown)(SOCKET s, int32_t how);
  SOCKET (*socket)(int32_t family, int32_t type, int32_t protocol);
  int (*WSAAddressToStringA)(const sockaddr* address, uint32_t length, void* protocolInfo, char* buffer,
                             uint32_t* size);
  int (*WSAAsyncSelect)(SOCKET s, HWND window, uint32_t message, int32_t events);
  int (*WSACleanup)();
  int (*WSAEnumNetworkEvents)(SOCKET s, NetEventSet* set, WsaNetworkEvents* events);
  int (*WSAEnumProtocolsA)(const int32_t* protocols, ProtocolInfo* buffer, uint32_t* bufferLength);
  int (*WSAEventSelect)(SOCKET s, NetEventSet* set, int32_t events);
  int (*WSAGetLastError)();
  void (*WSASetLastError)(int error);
  int (*WSAIoctl)(SOCKET s, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                  uint32_t* bytesReturned, void* overlapped, void* completion);
  int (*WSAStartup)(WORD version, WSADATA* data);
  // Resolver and numeric conversions. Families in and out are Windows numbers; the
  // addrinfo lists carry 2/23 in ai_family and native socket addresses in ai_addr.
  void (*freeaddrinfo)(addrinfo* list);
  int (*getaddrinfo)(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
  int (*getnameinfo)(const sockaddr* address, uint32_t length, char* host, uint32_t hostSize, char* service,
                     uint32_t serviceSize, int32_t flags);
  const char* (*inet_ntop)(int32_t family, const void* address, char* buffer, size_t size);
  int (*inet_pton)(int32_t family, const char* text, void* out);
  // IDNA with nameprep: UTF-8 name in, US-ASCII out; the length written, 0 on failure.
  int (*IdnToAscii)(const char* utf8, char* out, size_t outSize);
};

// The adapters over POSIX sockets; every entry is set.
const WsaTable& WsaAdapters() noexcept;

// Flags of getaddrinfo/getnameinfo hints (Windows numbering; glibc uses the same values).
inline constexpr int32_t kAiPassive = 0x1;
inline constexpr int32_t kAiCanonName = 0x2;
inline constexpr int32_t kAiNumericHost = 0x4;
inline constexpr int32_t kNiNumericHost = 0x2;  // Windows value; translated for glibc

// A resolver stand-in for tests: replaces the system's getaddrinfo/freeaddrinfo under the
// adapters (also under gethostbyname). Null restores the system resolver. Lists produced
// by the replacement must be released by its own freeaddrinfo.
struct Resolver {
  int (*getaddrinfo)(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
  void (*freeaddrinfo)(addrinfo* list);
};
void SetResolver(const Resolver* resolver) noexcept;

// Socket sets: add and test without overflowing the 64 entries.
void FdZero(FdSet* set) noexcept;
// 1 when the socket is (now) in the set; 0 with WSAENOBUFS when the set is full.
int FdSetAdd(SOCKET s, FdSet* set) noexcept;
void FdClear(SOCKET s, FdSet* set) noexcept;
int FdIsSet(SOCKET s, const FdSet* set) noexcept;

}  // namespace plat
