#pragma once
// Socket calls beside the core wrappers, for the mail libraries (DNS, SMTP, POP3, IMAP and
// their session layer) and the time client: fixed-argument forms of the core wrappers, a
// select with the caller's descriptor count, and a few calls the core has no wrapper for.
// Like the core wrappers, each fails with WSANOTINITIALISED and its failure value when the
// socket binding is not started, and reports the call to the trace library while tracing
// is on.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/net/wsa_types.h"
#include "platform/types.h"

int32_t SockRecvNoFlags(SOCKET s, char* buffer, int32_t length);
int32_t SockSendNoFlags(SOCKET s, const char* data, int32_t length);
// sendto with flags 0 to an IPv4 address (16-byte address length).
int32_t SockSendToNoFlags(SOCKET s, const char* data, int32_t length, const sockaddr_in* address);
// mode: 0 blocking, non-zero non-blocking.
int32_t SockSetBlockingMode(SOCKET s, uint32_t* mode);
int32_t SockSelectNfds(int32_t nfds, plat::FdSet* readSet, plat::FdSet* writeSet, plat::FdSet* exceptSet,
                       const plat::TimeVal* timeout);
int32_t SockGetPeerName(SOCKET s, sockaddr* address, int32_t* length);
int32_t SockGetHostName256(char* buffer);  // buffer of 256 characters
// The host entry of an IPv4 address (4 bytes, network order); valid until the thread's next call.
plat::HostEnt* SockGetHostByAddr(const void* address);
// The "poppass" TCP service, or null.
plat::ServEnt* SockGetPassService();
// Makes WSAETIMEDOUT the socket error of the thread.
void SockSetTimeoutError();
// One wait step that never sleeps: dispatches the thread's queued messages when it has an
// active window; 0 when a quit message was met (posted again), else 1.
int32_t SockYieldNoDelay();
