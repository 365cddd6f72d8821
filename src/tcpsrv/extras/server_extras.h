#pragma once
// What the TCP server control needs of the socket library and server engine beyond what
// the FTP and HTTP servers use: its own server start with caller-given limits, suspend and
// resume, closing every client, limits per address, client names, broadcasts, per-client
// priorities, an item queue per server, peeking, state tests, time-outs and a few address
// helpers. Results and errors follow the socket library: the last error is InetGetLastError.
#include <cstdint>

#include "sockets/inet.h"
#include "sockets/server/server.h"

// SuspendConstants.
inline constexpr uint32_t twSuspendDefault = 0;
inline constexpr uint32_t twSuspendReject = 1;
inline constexpr uint32_t twSuspendDisconnect = 2;
inline constexpr uint32_t twSuspendWait = 4;

// Size of one queued item: one VARIANT.
inline constexpr uint32_t kServerQueueItemSize = 24;

// ---- server engine ----
// A server on the address text (empty: every address) with the caller's backlog, client
// limit, client time-out (seconds), priority (0-4) and InetOptions; events go to callback
// with userData. Option 0x80000000 runs the callback on the calling thread through the
// listening handle's own window; option 0x1000 makes every client TLS with the given
// credentials (copied) or, without them, the certificate named by the address text.
SOCKET ServerStart(const char* address, uint32_t port, uint32_t backlog, uint32_t maxClients, uint32_t timeout,
                   uint32_t priority, uint32_t options, ServerEventCallback callback, uint64_t userData,
                   const SecCredentials* credentials);
int32_t ServerSuspend(SOCKET server, uint32_t options);
int32_t ServerResume(SOCKET server);
// Tells every client to end; waits (checking every 250 ms) up to timeoutMs for them to be
// gone when there were any (0xFFFFFFFF: no limit, 0: no wait). 0 for an unknown server.
int32_t ServerCloseClients(SOCKET server, uint32_t timeoutMs);
// Each value -1 leaves that limit; the delay is capped at 60,000 ms.
int32_t ServerSetLimits(SOCKET server, int32_t maxClients, int32_t maxPerAddress, int32_t acceptDelay);
SOCKET ServerGetAcceptingSocket(SOCKET server);
SOCKET ServerFindClientByName(SOCKET server, const char* name);
int32_t ServerSetClientName(SOCKET client, const char* name);
// The client's name (empty when none); -1 for an unknown client.
int32_t ServerGetClientName(SOCKET client, char* buffer, uint32_t size);
int32_t ServerBroadcast(SOCKET server, const char* data, int32_t length);
int32_t ServerBroadcastOthers(SOCKET client, const char* data, int32_t length);
uint32_t ServerGetClientThreadId(SOCKET client);
int32_t ServerGetClientPriority(SOCKET client);
int32_t ServerSetClientPriority(SOCKET client, uint32_t priority);
int32_t ServerEnqueue(SOCKET server, const void* item);
int32_t ServerDequeue(SOCKET server, uint32_t remove, void* buffer, uint32_t* size);
int32_t ServerGetQueueCount(SOCKET server);
int32_t ServerSetStackSizeInet(SOCKET server, uint32_t bytes);

// ---- socket handles ----
int32_t InetPeek(SOCKET handle, char* buffer, int32_t size);
int32_t InetIsBlocked(SOCKET handle);
int32_t InetIsReadable(SOCKET handle);
int32_t InetIsWritable(SOCKET handle);
int32_t InetGetTimeout(SOCKET handle);
int32_t InetSetTimeout(SOCKET handle, uint32_t seconds);
int32_t InetGetHostName128(char* buffer);
int32_t InetFormatHostName(const SockAddress* address, char* buffer);
int32_t SockReverseLookup(const sockaddr* address, uint32_t length, char* buffer);
int32_t InetGetExternalAddress4(SockAddress* out);
HWND InetCreateCallbackWindow(SOCKET listening);
int32_t InetIsKnownHandle(uint64_t value);
int32_t InetTraceStart(const char* file, int32_t flags);
int32_t InetTraceStop();
void* InetGetModuleHandle();
int32_t SockConnect16(SOCKET s, const sockaddr* address);
