#pragma once
// The socket library of the server deliverables: its frame, socket handles (the socket
// values themselves), blocking data transfer and line I/O with time-outs, server TLS,
// and the network-configuration helpers. The server engine is declared in server.h.
//
// Every function reports failures through the library's per-thread last error
// (InetGetLastError); the results are those documented beside each declaration.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "platform/base/heap.h"
#include "platform/base/sync.h"
#include "platform/types.h"

// ---- InetOptions ----
inline constexpr uint32_t kInetOptionBroadcast = 0x1;
inline constexpr uint32_t kInetOptionDontRoute = 0x2;
inline constexpr uint32_t kInetOptionKeepAlive = 0x4;
inline constexpr uint32_t kInetOptionReuseAddress = 0x8;
inline constexpr uint32_t kInetOptionNoDelay = 0x10;
inline constexpr uint32_t kInetOptionInline = 0x20;
inline constexpr uint32_t kInetOptionExclusive = 0x40;
inline constexpr uint32_t kInetOptionReservedPort = 0x80;
inline constexpr uint32_t kInetOptionNoCertCheck = 0x800;
inline constexpr uint32_t kInetOptionSecure = 0x1000;
inline constexpr uint32_t kInetOptionCompatibleTls = 0x8000;
inline constexpr uint32_t kInetOptionIPv6 = 0x40000;
inline constexpr uint32_t kInetOptionAnyThread = 0x80000;
inline constexpr uint32_t kInetOptionCallbackWindow = 0x80000000u;

// States of a handle.
inline constexpr uint32_t kInetStateIdle = 1;
inline constexpr uint32_t kInetStateListening = 2;
inline constexpr uint32_t kInetStateConnecting = 3;
inline constexpr uint32_t kInetStateAccepting = 4;
inline constexpr uint32_t kInetStateReading = 5;
inline constexpr uint32_t kInetStateWriting = 6;
inline constexpr uint32_t kInetStateDiscarding = 7;
inline constexpr uint32_t kInetStateClosing = 8;

inline constexpr uint32_t kInetDefaultTimeout = 20;
inline constexpr uint32_t kInetLineBufferSize = 8192;
inline constexpr uint32_t kInetTransferBufferSize = 131072;
inline constexpr SOCKET kInetNoHandle = INVALID_SOCKET;

struct InetLineBuffer {
  uint32_t capacity;
  uint32_t count;     // bytes still unread
  uint32_t position;  // index of the next unread byte
  char data[kInetLineBufferSize];
  // Index in data of the byte that came at the peer's urgent mark (a receive stops short
  // of the mark, so the byte starts a refill), kInetNoUrgent when none is held; kept only
  // by InetReadLineMarked.
  uint32_t urgent;
};
inline constexpr uint32_t kInetNoUrgent = 0xFFFFFFFFu;

namespace cvsock {
struct TlsState;
}

// One socket handle. Fields that other threads read or set are atomics; the rest belong
// to the owner thread.
struct InetSocketRecord {
  SOCKET handle = INVALID_SOCKET;
  std::atomic<bool> listed{false};  // in the handle table's index (library lock)
  std::atomic<uint32_t> ownerThread{0};
  HWND ownWindow = nullptr;
  plat::HeapHandle heap = nullptr;
  std::atomic<uint32_t> abortFlag{0};
  std::atomic<uint32_t> busy{0};
  std::atomic<uint32_t> cancel{0};
  uint32_t outgoing = 0;
  std::atomic<uint32_t> closed{0};
  uint32_t connected = 0;
  std::atomic<uint32_t> serverOwned{0};
  uint32_t listening = 0;
  uint32_t createdTick = 0;
  // Reads that took input from the handle, from any thread: the engine paces the read
  // events of a client whose owner leaves its input waiting.
  std::atomic<uint32_t> inputTaken{0};
  uint32_t bytesReceived = 0;
  uint32_t bytesSent = 0;
  uint32_t lastReceiveTick = 0;
  uint32_t lastSendTick = 0;
  std::atomic<uint32_t> options{0};
  SockAddress localAddress{};
  SockAddress peerAddress{};
  SockAddress callerAddress{};
  uint32_t localPort = 0, peerPort = 0, callerPort = 0;
  uint32_t family = 0, type = 0, protocol = 0;
  std::atomic<uint32_t> timeout{kInetDefaultTimeout};
  std::atomic<uint32_t> deadlineTick{0};  // 0: none; else every wait ends by this tick
  std::atomic<uint32_t> state{kInetStateIdle};
  InetLineBuffer* lineBuffer = nullptr;
  cvsock::TlsState* tls = nullptr;  // TLS state, created when TLS starts on the handle
  char hostName[256] = {};
  // Wakes a blocking wait of the owner: cancel, abort, or the engine asking the
  // connection to close. Stays set while closeRequested is.
  plat::Event wake{plat::Event::Reset::Manual};
  std::atomic<uint32_t> closeRequested{0};
  // Listening sockets: a connection taken off the queue only to learn its caller's
  // address; the next accept or reject takes it first.
  SOCKET deferred = INVALID_SOCKET;
};

// One thread that created or took over handles.
struct InetThreadRecord {
  uint32_t threadId;     // 0: free entry
  uint32_t useCount;
  uint64_t serverHandle;  // the server whose client the thread serves, else -1
  uint64_t clientHandle;  // the client socket the thread serves, else -1
  void* scratch;          // library-heap block owned by the thread
};

// The proxy of a target host.
struct InetProxyRecord {
  uint32_t port;
  char host[256];
};

// One network adapter as the address helpers see it.
struct InetAdapter {
  char name[64];
  uint32_t operStatus;  // 1 up
  uint32_t type;        // 24 software loopback, 131 tunnel, 6 other
  uint32_t addressCount;
  SockAddress addresses[16];  // unicast addresses (none transient on this system)
};
inline constexpr uint32_t kInetAdapterLoopback = 24;
inline constexpr uint32_t kInetAdapterTunnel = 131;
inline constexpr uint32_t kInetAdapterEthernet = 6;
inline constexpr uint32_t kInetMaxLocalAddresses = 64;
struct InetAdapterList {
  uint32_t count;
  InetAdapter adapters[64];
};

// ---- frame ----
void InetProcessAttach(void* module);
void InetProcessDetach();
int32_t InetAttach(const char* reserved, LibVersionInfo* info);
void InetDetach();
uint32_t InetIsInitialized();
void InetSetSocketError();
uint32_t InetGetLastError();
void InetSetLastError(uint32_t code);
uint32_t InetGetErrorText(uint32_t code, char* buffer, uint32_t size);
void InetLock();
void InetUnlock();
InetSocketRecord* InetLookupHandle(SOCKET handle);
InetSocketRecord* InetLookupHandleAnyThread(SOCKET handle);
uint32_t InetSetHandleOwner(SOCKET handle);
uint32_t InetListThreadHandles(SOCKET* handles, uint32_t capacity);
int32_t InetRegisterThread(uint32_t threadId);
void InetReleaseThread(uint32_t threadId);
InetThreadRecord* InetGetThreadRecord();
void* MemAllocRounded(size_t size);
void* MemHandleAlloc(SOCKET handle, size_t size);
void MemHandleFree(SOCKET handle, void* block);

// ---- handles and connections ----
SOCKET InetCreateSocket(int32_t family, int32_t type, int32_t protocol);
void InetReleaseHandle(SOCKET handle);
SOCKET InetConnect(const char* host, uint32_t port);
SOCKET InetListen(const char* address, uint32_t port, uint32_t backlog, uint32_t options);
SOCKET InetAccept(SOCKET listening, uint32_t timeout, uint32_t options, SecCredentials* credentials);
SOCKET InetAcceptDefault(SOCKET listening);
int32_t InetReject(SOCKET handle);
int32_t InetDisconnect(SOCKET handle);
int32_t InetAbort(SOCKET handle);
int32_t InetCancel(SOCKET handle);
SOCKET InetFindBlockingHandle();
int32_t InetSetOption(SOCKET handle, uint32_t option);
int32_t InetGetLocalAddress(SOCKET handle, uint32_t family, SockAddress* out);
int32_t InetGetPeerAddress(SOCKET handle, SockAddress* out, uint32_t* port);
int32_t InetGetFullHostName(char* buffer, uint32_t size);
inline SOCKET InetConnectStub(const char* host, uint32_t port) { return InetConnect(host, port); }
inline SOCKET InetListenStub(const char* a, uint32_t p, uint32_t b, uint32_t o) { return InetListen(a, p, b, o); }
inline SOCKET InetAcceptStub(SOCKET l, uint32_t t, uint32_t o, SecCredentials* c) { return InetAccept(l, t, o, c); }

// Socket-call variants of this library (traced like the core wrappers).
SOCKET SockAcceptNoAddress(SOCKET s);
int32_t SockListenBacklog(SOCKET s, int32_t backlog);
int32_t SockRecvFromNoFlags(SOCKET s, char* buffer, int32_t length, sockaddr* address, int32_t* addressLength);
int32_t SockSendToNoFlags(SOCKET s, const char* buffer, int32_t length, const sockaddr* address,
                          int32_t addressLength);
int32_t SockShutdownSend(SOCKET s);
// Receive and send that never wait (cvErrorOperationWouldBlock when they would); sendfile
// from a file descriptor at *offset (advanced by what went out).
int32_t SockRecvNoWait(SOCKET s, char* buffer, int32_t length);
int32_t SockSendNoWait(SOCKET s, const char* buffer, int32_t length);
int64_t SockSendFileNoWait(SOCKET s, int file, uint64_t* offset, uint64_t count);
int32_t SockSetKeepAliveValues(SOCKET s, uint32_t on, uint32_t idleMs, uint32_t intervalMs);

// ---- window class ----
inline constexpr UINT kInetCallbackMessage = 7937;
int32_t InetRegisterWindowClass(void* module);
LRESULT InetCallbackWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
int32_t InetSetNotifyWindow(SOCKET handle, HWND window, UINT message);
int32_t InetResetEvents(SOCKET handle);
// The registered class name ("Tarnwheeler9059530" and eight hex digits).
const char* InetWindowClassName();

// ---- server TLS ----
int32_t SecLoadServerProvider();
int32_t SecBuildCredentials(uint32_t protocol, uint32_t location, const char* user, const char* password,
                            const char* store, const char* name, SecCredentials** out);
int32_t SecCheckCertificate(const char* store, const char* password, const char* name);
int32_t SecStartSession(SOCKET handle, uint32_t role, SecCredentials* credentials);
int32_t SecEndSession(SOCKET handle, uint32_t abrupt);
int32_t SecCreateServerCredentials(SOCKET handle);
int32_t SecCreateClientCredentials(SOCKET handle);
int32_t SecServerHandshake(SOCKET handle);
int32_t SecClientHandshake(SOCKET handle);
int32_t SecVerifyServerCertificate(SOCKET handle);
int32_t SecRead(SOCKET handle, char* buffer, int32_t size);
int32_t SecReadLarge(SOCKET handle, char* buffer, int32_t size);
int32_t SecWrite(SOCKET handle, const char* buffer, int32_t size);
int32_t SecWriteLarge(SOCKET handle, const char* buffer, int32_t size);
int32_t SecShutdownSession(SOCKET handle);
void SecDeleteContext(SOCKET handle);
int32_t SecCloseHandleStore(SOCKET handle);
// The handle's certificate status (0 valid, else the chain-policy error).
uint32_t SecGetCertificateStatus(SOCKET handle);

inline constexpr uint32_t kSecRoleByHandle = 0;
inline constexpr uint32_t kSecRoleClient = 1;
inline constexpr uint32_t kSecRoleServer = 2;

// ---- network configuration and addresses ----
int32_t InetParseAddress(const char* text, uint32_t family, SockAddress* out);
int32_t InetFormatAddress(const SockAddress* address, char* buffer);
int32_t InetResolveAddress(const char* host, uint32_t family, SockAddress* out);
uint32_t InetMakeSockaddr(const SockAddress* address, uint32_t port, void* buffer, uint32_t* length);
int32_t InetSplitSockaddr(const sockaddr* address, SockAddress* out, uint32_t* port);
int32_t InetCompareAddress(const SockAddress* a, const SockAddress* b);
int32_t InetIsAnyAddress(const SockAddress* address);
int32_t InetIsPublicAddress(const SockAddress* address);
int32_t InetIsPublicIPv4(uint32_t address);
int32_t InetListLocalAddresses(SockAddress* addresses);
// The adapters, fetched at most every five minutes; valid until the next fetch (call
// under InetLock when other threads may fetch).
const InetAdapterList* InetGetAdapterList();
int32_t InetGetProxySettings(const char* host, InetProxyRecord* out);
int32_t InetMatchHostList(const char* host, const char* list);
int32_t InetQueryExternalAddress(const char* serviceHost, uint32_t flags, SockAddress* out);
int32_t InetGetExternalAddress(uint32_t family, SockAddress* out);

inline constexpr uint32_t kInetExternalDirect = 1;
inline constexpr uint32_t kInetExternalNoCache = 2;
inline constexpr uint32_t kInetExternalFirstService = 0x1000;

// ---- data transfer and line I/O ----
int32_t InetRead(SOCKET handle, char* buffer, int32_t size);
int32_t InetWrite(SOCKET handle, const char* buffer, int32_t size);
int32_t InetDiscardInput(SOCKET handle);
// Bulk transfer for the server's data connections. Each receives or sends at once what
// it can and waits only when nothing can move, for at most waitMs (the handle's time-out
// for INFINITE): a wait that runs out returns -1 with 0x8004274C, so the caller can look
// at other things between waits. TLS handles go through the TLS layer in large records.
int32_t InetReadWait(SOCKET handle, char* buffer, int32_t size, uint32_t waitMs);
int32_t InetWriteWait(SOCKET handle, const char* buffer, int32_t size, uint32_t waitMs);
// Sends up to count bytes of the open file from *offset (advanced) with sendfile; the bytes
// sent, or -1. Plain TCP handles only (0x8004273B for a TLS handle).
int64_t InetSendFile(SOCKET handle, int file, uint64_t* offset, uint64_t count, uint32_t waitMs);
// Whether TLS protects the handle's data.
int32_t InetIsSecure(SOCKET handle);
// Copies what waits to be read, without taking it: the line buffer's bytes, then what the
// TLS layer has decrypted or the socket holds. The number copied.
int32_t InetPeekWaiting(SOCKET handle, char* buffer, int32_t size);
// 1 while the peer's urgent byte is still ahead in the stream (a peek stops short of it),
// else 0.
int32_t InetUrgentWaiting(SOCKET handle);
int32_t InetIsClosed(SOCKET handle);
int32_t InetCreateLineBuffer(SOCKET handle);
int32_t InetReadLine(SOCKET handle, char* buffer, uint32_t* size);
// The same keeping the line's bytes as they came (NUL and CR included): only the LF that
// ends it, and a CR right before that, are taken off. A parser that must refuse such
// bytes sees them.
int32_t InetReadLineExact(SOCKET handle, char* buffer, uint32_t* size);
// InetReadLine that also tells where in the line the byte at the peer's urgent mark is
// (*urgent, kInetNoUrgent when the line holds none): a protocol that gives urgent data a
// meaning of its own can take that byte out.
int32_t InetReadLineMarked(SOCKET handle, char* buffer, uint32_t* size, uint32_t* urgent);
int32_t InetWriteLine(SOCKET handle, const char* text, uint32_t* sent);
// Bounds the waits of every following read and write of the handle, all together, to
// milliseconds from now (a whole request head, however it trickles in); 0 lifts the
// bound. 1, or 0 for an unknown handle.
int32_t InetSetDeadline(SOCKET handle, uint32_t milliseconds);
// Sends all of data within the handle's time-out (TLS: as records); more asks the stack to
// hold it for the data that follows at once (a response head before its body). 1, or 0
// with the last error.
int32_t InetWriteAll(SOCKET handle, const char* data, size_t length, bool more);
// Sends the next length bytes of the open file fd (from its current position) the same way:
// straight from the file on plain connections. 1, or 0 with the last error
// (cvErrorFileReadFailed when the file ends early).
int32_t InetWriteFile(SOCKET handle, int fd, uint64_t length);
int32_t SockWaitStep();
