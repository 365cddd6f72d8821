#pragma once
// The socket binding of a deliverable: every socket call of its libraries goes through
// these wrappers, which fail cleanly with WSANOTINITIALISED when the bound entry is missing
// and report each call to the trace library while tracing is on. Around them: start-up
// counting, the wait step of every blocking loop, host-name checks and IDN, numeric address
// conversions and host lookup.
//
// Address families are the Windows numbers (2 IPv4, 23 IPv6); socket addresses are the
// native ones. Errors are in the thread's last error (SockGetLastError).
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/net/event_set.h"
#include "platform/net/wsa_types.h"
#include "platform/types.h"

// The address record of every client library.
struct SockAddress {
  uint32_t family;      // 2 or 23; 0 means empty
  uint8_t address[16];  // network byte order; IPv4 in the first 4 bytes
};

inline constexpr uint32_t kSockHostNameSize = 256;   // output buffers of the name helpers
inline constexpr uint32_t kSockInterfaceListSize = 1216;  // 16 InterfaceInfo entries

// ---- binding and support ----
int32_t SockStartup(plat::WSADATA* data);
int32_t SockCleanup();
int32_t SockIsIPv6Available();
int32_t SockYield(uint32_t milliseconds);
int32_t SockIsValidHostName(const char* name);
int32_t SockEncodeIdnName(const char* name, char* out);
char* SockNormalizeHostName(const char* input, char* out);
uint32_t SockInetAddr(const char* text);
char* SockInetNtoa(uint32_t address);
const char* SockInetNtop(int32_t family, const void* address, char* buffer, uint32_t size);
int32_t SockInetPton(int32_t family, const char* text, void* out);
int32_t SockLookupHost(const char* name, const addrinfo* hints, addrinfo** result);
void SockFreeHostList(addrinfo* list);
int32_t SockFdIsSet(SOCKET s, const plat::FdSet* set);
uint32_t SockGetLastError();
void SockClearLastError();
uint32_t SockHtonl(uint32_t v);
uint16_t SockHtons(uint16_t v);
uint32_t SockNtohl(uint32_t v);
uint16_t SockNtohs(uint16_t v);

// ---- traced wrappers ----
SOCKET SockAccept(SOCKET s, sockaddr* address, int32_t* length);
int32_t SockBind(SOCKET s, const sockaddr* address, int32_t length);
int32_t SockClose(SOCKET s);
int32_t SockConnect(SOCKET s, const sockaddr* address, int32_t length);
int32_t SockGetHostName(char* buffer, int32_t size);
int32_t SockGetLocalName(SOCKET s, sockaddr* address, int32_t* length);
int32_t SockGetPendingError(SOCKET s, int32_t* error, int32_t* length);
int32_t SockIoctl(SOCKET s, int32_t command, uint32_t* argument);
int32_t SockListen(SOCKET s);
int32_t SockRecv(SOCKET s, char* buffer, int32_t length, int32_t flags);
int32_t SockSelect(plat::FdSet* readSet, plat::FdSet* writeSet, plat::FdSet* errorSet, const plat::TimeVal* timeout);
int32_t SockSend(SOCKET s, const char* buffer, int32_t length, int32_t flags);
// Up to count bytes of an open file from *offset, sent without a copy through the process
// (*offset moves past them): the bytes taken, 0 at the file's end, or -1 with the last
// error: WSAEWOULDBLOCK for a non-blocking socket without room, WSAEINVAL for a file that
// cannot be sent (or read) this way, WSAEOPNOTSUPP while a trace listens to the sends
// (which then go through SockSend, so that it sees them).
int64_t SockSendFile(SOCKET s, int file, uint64_t* offset, uint32_t count);
int32_t SockSetOption(SOCKET s, int32_t level, int32_t option, const void* value);
// Keeps a TCP socket's queue of bytes not yet sent near bytes (bytes in flight do not
// count): a bulk sender then hands over its data as the peer's window opens, on its own
// time. A deep queue is sent by the peer's acknowledgements as they arrive, which on the
// same host costs the receiving process's processor. 0, or -1 with the last error.
int32_t SockLimitUnsent(SOCKET s, uint32_t bytes);
SOCKET SockCreate(int32_t family, int32_t type, int32_t protocol);
int32_t SockAsyncSelect(SOCKET s, HWND window, uint32_t message, int32_t events);
int32_t SockEnumNetworkEvents(SOCKET s, plat::WsaNetworkEvents* events);
int32_t SockEventSelect(SOCKET s, int32_t events);

// The single network event object that SockEventSelect selects sockets on (created on
// first use; the SSH socket layer waits on it).
plat::NetEventSet* SockNetworkEvents();

// ---- untraced wrappers ----
plat::HostEnt* SockGetHostByName(const char* name);
plat::ServEnt* SockGetServByName(const char* name);
// Ends sending (plat::kSdSend), receiving or both on a socket another thread may own: its
// owner then sees the end of the stream and closes it.
int32_t SockShutdown(SOCKET s, int32_t how);
int32_t SockAddressToString(const sockaddr* address, uint32_t length, char* buffer, uint32_t* size);
// buffer: kSockInterfaceListSize bytes.
int32_t SockGetInterfaceList(SOCKET s, void* buffer, uint32_t* bytesReturned);
