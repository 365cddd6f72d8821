#pragma once
// Names of the local machine, of addresses and of services, shared by the controls that
// show host and service names (the time client, the POP3 client). Like the core's address
// helpers they report failures in the thread's last error as full library codes; the
// calling library copies the code into its own last error.
#include <cstdint>

#include "core/sock/sock.h"

inline constexpr uint32_t kSockNameBufferSize = 128;  // the name buffers below, terminator included

// The host name of an address by a reverse lookup (a name is required). Its length, or -1
// (0x80042737 for a bad record or a failed lookup, 0x8004271E for a null buffer).
int32_t SockAddressToHostName(const SockAddress* address, char* buffer);

// A service given as decimal digits or by its name in the services database (any
// protocol): its port 1 to 65535, or -1 (0x8004271E empty, 0x80042EE7 unknown name,
// 0x80042EE6 out of range).
int32_t SockGetServicePort(const char* service);

// The services database's name of a port (any protocol) into buffer (may be null):
// 1, or 0 (0x80042EE6 out of range, 0x80042EE7 no name).
int32_t SockGetServiceName(uint32_t port, char* buffer);

// The local host name with the machine's DNS domain appended when the name has none.
// Its length, or -1 (0x8004271E null buffer, 0x80042EE4 no host name).
int32_t SockGetFullHostName(char* buffer);

// The first address of the local host name for the family (0 asks for IPv4). The family,
// or -1 with 0x80042EE4. address may be null.
int32_t SockGetLocalHostAddress(uint32_t family, SockAddress* address);
