#pragma once
// The resolver record behind a DNS handle.
#include <netinet/in.h>

#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/base/heap.h"

inline constexpr int32_t kDnsServerSlots = 4;
inline constexpr int32_t kDnsMaxMxHosts = 35;
inline constexpr uint32_t kDnsMxPoolSize = 2048;
inline constexpr uint32_t kDnsAnswerSize = 1024;   // every answer buffer
inline constexpr uint32_t kDnsNameSize = 1024;     // expanded names, terminator included
inline constexpr uint32_t kDnsDomainSize = 256;    // the local domain, terminator included
inline constexpr int32_t kDnsSearchEntries = 3;

// The exchangers of the last MX look-up, lowest preference first.
struct DnsMxList {
  char pool[kDnsMxPoolSize];  // host names, each with its terminator
  uint32_t used;              // bytes of the pool in use
  int32_t count;
  char* hosts[kDnsMaxMxHosts];
  uint32_t preferences[kDnsMaxMxHosts];
};

struct DnsResolver {
  LibSessionHeader header;  // owner thread, handle, slot; controlSocket is the query socket
  uint32_t options;         // fixed query options (never free-threaded)
  plat::HeapHandle heap;    // unused: the record lives in the library's memory
  int32_t attempts;         // rounds over the name servers per query
  int32_t timeout;          // seconds to wait for each UDP or TCP answer
  int32_t serverCount;      // non-empty server slots
  sockaddr_in servers[kDnsServerSlots];  // address 0: empty slot
  uint16_t queryId;         // the last identifier used
  char localDomain[kDnsDomainSize];
  const char* searchList[kDnsSearchEntries + 1];  // into localDomain, null-terminated
  char nameScratch[kDnsNameSize];
  DnsMxList mx;
};

// The fixed query options: recursion desired, local domain for one-label names, full
// search-list walk.
inline constexpr uint32_t kDnsOptionRecurse = 0x40;
inline constexpr uint32_t kDnsOptionDefaultNames = 0x80;
inline constexpr uint32_t kDnsOptionSearch = 0x200;
inline constexpr uint32_t kDnsDefaultOptions = kDnsOptionRecurse | kDnsOptionDefaultNames | kDnsOptionSearch;
