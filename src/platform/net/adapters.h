#pragma once
// The POSIX adapters behind WsaTable (internal to the platform's socket layer).
#include <sys/types.h>
#include <cerrno>
#include <climits>

#include "platform/base/last_error.h"
#include "platform/net/socket_api.h"
#include "platform/net/wsa_errors.h"

namespace plat::net {

// Failure helpers: set the thread's last error and hand back the failure value.
inline int Fail(uint32_t wsaError) noexcept {
  SetLastError(wsaError);
  return -1;
}
inline int FailErrno() noexcept { return Fail(WsaErrorFromErrno(errno)); }

// A socket handle as a descriptor, or -1 (with WSAENOTSOCK set) when it cannot be one.
inline int FdOf(SOCKET s) noexcept {
  if (s > SOCKET(INT_MAX)) {
    SetLastError(WSAENOTSOCK);
    return -1;
  }
  return int(s);
}

// Socket calls.
SOCKET Socket(int32_t family, int32_t type, int32_t protocol);
SOCKET Accept(SOCKET s, sockaddr* address, int32_t* length);
int Bind(SOCKET s, const sockaddr* address, int32_t length);
int CloseSocket(SOCKET s);
int Connect(SOCKET s, const sockaddr* address, int32_t length);
int GetHostName(char* buffer, int32_t size);
int GetPeerName(SOCKET s, sockaddr* address, int32_t* length);
int GetSockName(SOCKET s, sockaddr* address, int32_t* length);
int IoctlSocket(SOCKET s, int32_t command, uint32_t* argument);
int Listen(SOCKET s, int32_t backlog);
int Recv(SOCKET s, char* buffer, int32_t length, int32_t flags);
int Send(SOCKET s, const char* buffer, int32_t length, int32_t flags);
int Shutdown(SOCKET s, int32_t how);
// Sends up to count bytes of the file from *offset without a copy through the process, as
// sendfile does (*offset moves past what went; the file's own position stays), and without
// raising SIGPIPE. The bytes taken (0 at the file's end), or -1 with the last error
// (WSAEWOULDBLOCK on a non-blocking socket without room; WSAEINVAL when the file cannot be
// sent or read this way).
int64_t SendFile(SOCKET s, int file, uint64_t* offset, uint64_t count);
// The same on a descriptor, errno-style (EINTR retried): for callers that keep their own
// descriptors and the file's own position (offset null).
ssize_t SendFileNoSignal(int fd, int file, off_t* offset, size_t count) noexcept;

// Options.
int GetSockOpt(SOCKET s, int32_t level, int32_t option, char* value, int32_t* length);
int SetSockOpt(SOCKET s, int32_t level, int32_t option, const char* value, int32_t length);
// Holds the bytes a TCP socket keeps queued but not yet sent to about bytes (beyond what
// the peer's window lets go at once): a send takes no more, and the socket is writable
// again, once the queue has drained below it. Bytes in flight are not counted. 0, or -1
// with the last error.
int LimitUnsent(SOCKET s, uint32_t bytes);

// Sets.
int Select(int32_t nfds, FdSet* readSet, FdSet* writeSet, FdSet* errorSet, const TimeVal* timeout);

// Names and addresses.
HostEnt* GetHostByName(const char* name);
ServEnt* GetServByName(const char* name, const char* protocol);
char* InetNtoa(uint32_t address);
int GetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void FreeAddrInfo(addrinfo* list);
int GetNameInfo(const sockaddr* address, uint32_t length, char* host, uint32_t hostSize, char* service,
                uint32_t serviceSize, int32_t flags);
const char* InetNtop(int32_t family, const void* address, char* buffer, size_t size);
int InetPton(int32_t family, const char* text, void* out);
int AddressToString(const sockaddr* address, uint32_t length, void* protocolInfo, char* buffer, uint32_t* size);
int IdnToAscii(const char* utf8, char* out, size_t outSize);

// System information.
int WsaStartup(WORD version, WSADATA* data);
int WsaCleanup();
int EnumProtocols(const int32_t* protocols, ProtocolInfo* buffer, uint32_t* bufferLength);
int WsaIoctl(SOCKET s, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
             uint32_t* bytesReturned, void* overlapped, void* completion);

// Event selection (selection.cpp).
int AsyncSelect(SOCKET s, HWND window, uint32_t message, int32_t events);
int EventSelect(SOCKET s, NetEventSet* set, int32_t events);
int EnumNetworkEvents(SOCKET s, NetEventSet* set, WsaNetworkEvents* events);

// Notes from the socket calls to the selection state (selection.cpp).
void NoteNewSocket(int fd);
void NoteAccepted(int listenFd, int newFd);
void NoteRecv(int fd);
void NoteSendWouldBlock(int fd);
void NoteConnectStarted(int fd);
void NoteListen(int fd);
bool IsSelected(int fd);
// Ends any selection of fd and removes its queued socket messages; call before close().
void ForgetSocket(int fd);

}  // namespace plat::net
