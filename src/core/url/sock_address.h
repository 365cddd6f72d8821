#pragma once
// SockAddress records from numeric text or host names, and native socket addresses from
// them. Families are the Windows numbers (2 IPv4, 23 IPv6) at this interface; only the
// socket address built here carries the native family. Errors go to the thread's last
// error as full library codes.
#include <cstdint>

#include "core/sock/sock.h"

inline constexpr uint32_t kSockAddressBufferSize = 128;

// Fills buffer (kSockAddressBufferSize bytes, zeroed first) with the socket address of
// address and port; *length receives its size. The family, or 0 with the error.
uint32_t SockMakeSockaddr(const SockAddress* address, uint16_t port, void* buffer, uint32_t* length);

// A numeric IPv4 or IPv6 literal into *out; wanted 0 (any), 2 or 23. The family, or -1.
int32_t SockParseAddress(const char* text, uint32_t wanted, SockAddress* out);

// A host name or literal looked up with the family hint (0 any, 23 IPv6). The family of
// the first result (the hint when the lookup has none), or -1.
int32_t SockResolveAddress(const char* name, uint32_t hint, SockAddress* out);
