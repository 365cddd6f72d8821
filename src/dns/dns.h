#pragma once
// The DNS resolver library's C-style interface: resolver handles bound to their creating
// thread, integer results, and the error in the library's per-thread last error. Finds
// the mail exchangers of a domain through the machine's (or the given) name servers.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "dns/dns_resolver.h"
#include "platform/types.h"

// Library frame.
void DnsProcessAttach(void* module);
void DnsProcessDetach();
int32_t DnsAttach(LibVersionInfo* info);  // 1 success, 0 failure
void DnsDetach();
uint32_t DnsIsInitialized();
void DnsLock();
void DnsUnlock();
void DnsSetLastError(uint32_t code);
uint32_t DnsGetLastError();
uint32_t DnsSetSocketError();
uint32_t DnsGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null
LibHandle DnsAllocSession();
void DnsFreeSession(LibHandle handle);
DnsResolver* DnsGetSession(LibHandle handle);
DnsResolver* DnsFindSession(LibHandle handle);
uint32_t DnsSetHandleOwner(LibHandle handle, uint32_t threadId);
DnsResolver* DnsFindSessionBySocket(SOCKET socket);

// Resolvers.
LibHandle DnsCreateResolver();
int32_t DnsDestroyResolver(LibHandle handle);
void DnsFreeResolver(LibHandle handle);  // no result; the last error is kept
// slot 0 to 3, or -1 for the first empty one; address dotted IPv4, null or empty clears.
int32_t DnsSetNameServer(LibHandle handle, int32_t slot, const char* address);
// buffer of 64 characters or null; the address's length, 0 for an empty slot.
int32_t DnsGetNameServer(LibHandle handle, int32_t slot, char* buffer);

// MX look-up. hosts receives up to maximum pointers (0 or above 35: 35) into the
// resolver, valid until its next look-up; the number of hosts, 0 for none, -1 on error.
int32_t DnsLookupMx(LibHandle handle, const char* domain, const char** hosts, int32_t maximum);
int32_t DnsQueryMx(LibHandle handle, const char* name, int32_t maximum);

// Queries. Answer buffers hold kDnsAnswerSize bytes; results are answer lengths or -1.
int32_t DnsSearch(LibHandle handle, const char* name, uint8_t* answer);
int32_t DnsQueryName(LibHandle handle, const char* name, const char* suffix, uint8_t* answer);
int32_t DnsQuery(LibHandle handle, const char* name, uint8_t* answer);
int32_t DnsBuildQuery(LibHandle handle, const char* name, uint8_t* message);  // room: kDnsQuerySize
int32_t DnsSendQuery(LibHandle handle, uint8_t* message, int32_t length, uint8_t* answer);

// Wire-format names. DnsExpandName writes at most 1,023 characters and a terminator and
// returns the bytes the name takes at position; DnsEncodeName returns the encoded length.
// The compression list holds the message start first, then the starts of names already
// in the message, ended by a null entry; end is one past its last usable entry.
int32_t DnsExpandName(const uint8_t* message, const uint8_t* end, const uint8_t* position, char* output);
int32_t DnsEncodeName(const char* name, uint8_t* output, int32_t room, const uint8_t** list,
                      const uint8_t** end);

inline constexpr uint32_t kDnsQuerySize = 12 + 1008 + 4;
