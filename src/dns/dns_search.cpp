// Name queries with the resolver's search list, and the MX look-up over them.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/sock/sock.h"
#include "dns/dns.h"
#include "dns/dns_library.h"

namespace cvdns {

int32_t BuildQuery(DnsResolver& r, const char* name, uint8_t* message);
int32_t SendQuery(DnsResolver& r, uint8_t* message, int32_t length, uint8_t* answer);

namespace {

constexpr size_t kMaxNameLength = 253;  // a full name in text form, without a trailing dot
constexpr size_t kMaxLabelLength = 63;
constexpr uint16_t kTypeMx = 15;

// Host-name characters in labels of 1 to 63 characters, 253 characters in all.
bool QueryableName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  size_t label = 0;
  for (const char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!allowed || ++label > kMaxLabelLength) return false;
  }
  return label > 0;
}

int32_t Query(DnsResolver& r, const std::string& name, uint8_t* answer) {
  if (!QueryableName(name)) return Fail(cvErrorInvalidHostName);
  uint8_t message[kDnsQuerySize];
  const int32_t length = BuildQuery(r, name.c_str(), message);
  if (length < 0) return -1;
  const int32_t n = SendQuery(r, message, length, answer);
  if (n < 0) return -1;
  // An answer repeats the one question asked; any other count is no answer to it.
  if (uint16_t(answer[4] << 8 | answer[5]) != 1) return Fail(cvErrorInvalidServerResponse);
  const uint8_t code = answer[3] & 0x0F;
  const uint16_t answers = uint16_t(answer[6] << 8 | answer[7]);
  if (code == 0 && answers > 0) return n;
  switch (code) {
    case 0: return Fail(cvErrorNoServerResponse);
    case 1:
    case 2: return Fail(cvErrorInvalidServerResponse);
    case 3: return Fail(cvErrorHostNameNotFound);
    default: return Fail(cvErrorHostNameRefused);
  }
}

int32_t QueryName(DnsResolver& r, const char* name, const char* suffix, uint8_t* answer) {
  std::string full(name);
  if (suffix) {
    full += '.';
    full += suffix;
  } else if (!full.empty() && full.back() == '.') {
    full.pop_back();
  }
  return Query(r, full, answer);
}

int32_t Search(DnsResolver& r, const char* name, uint8_t* answer) {
  std::memset(answer, 0, kDnsAnswerSize);
  Library().SetLastError(cvErrorHostNameNotFound);
  bool noData = false;
  if (std::strchr(name, '.')) {
    const int32_t n = QueryName(r, name, nullptr, answer);
    if (n >= 0) return n;
    noData = Library().GetLastError() == cvErrorNoServerResponse;
  }
  const size_t length = std::strlen(name);
  if (length > 0 && name[length - 1] == '.') return -1;
  for (const char* const* suffix = r.searchList; *suffix; ++suffix) {
    if (!**suffix) continue;
    const int32_t n = QueryName(r, name, *suffix, answer);
    if (n >= 0) return n;
    const uint32_t error = Library().GetLastError();
    if (error == cvErrorHostNameRefused || error == cvErrorOperationTimeout) return -1;
    if (error == cvErrorNoServerResponse) noData = true;
    else if (error != cvErrorHostNameNotFound) break;
  }
  if (noData) Library().SetLastError(cvErrorNoServerResponse);
  return -1;
}

// Inserts after every host of the same or lower preference; false when the pool is full.
bool AddHost(DnsMxList& mx, uint32_t preference, const char* host) {
  const size_t size = std::strlen(host) + 1;
  if (mx.used + size > kDnsMxPoolSize) return false;
  int32_t at = 0;
  while (at < mx.count && mx.preferences[at] <= preference) ++at;
  for (int32_t i = mx.count; i > at; --i) {
    mx.hosts[i] = mx.hosts[i - 1];
    mx.preferences[i] = mx.preferences[i - 1];
  }
  mx.hosts[at] = mx.pool + mx.used;
  mx.preferences[at] = preference;
  std::memcpy(mx.pool + mx.used, host, size);
  mx.used += uint32_t(size);
  ++mx.count;
  return true;
}

uint16_t Read16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

int32_t QueryMx(DnsResolver& r, const char* name, int32_t maximum) {
  DnsMxList& mx = r.mx;
  mx.count = 0;
  mx.used = 0;
  if (maximum <= 0 || maximum > kDnsMaxMxHosts) maximum = kDnsMaxMxHosts;
  uint8_t answer[kDnsAnswerSize];
  const int32_t length = Search(r, name, answer);
  if (length < 0) return Library().GetLastError() == cvErrorNoServerResponse ? 0 : -1;
  const uint8_t* const end = answer + length;
  char* const scratch = r.nameScratch;
  int32_t n = DnsExpandName(answer, end, answer + 12, scratch);
  if (n < 0) return 0;
  const uint8_t* p = answer + 12 + n + 4;
  while (mx.count < maximum && p < end) {
    if ((n = DnsExpandName(answer, end, p, scratch)) < 0) break;
    p += n;
    if (end - p < 10 || Read16(p) != kTypeMx) break;
    const uint16_t dataLength = Read16(p + 8);
    const uint8_t* const data = p + 10;
    if (dataLength < 3 || end - data < dataLength) break;
    const uint16_t preference = Read16(data);
    if (DnsExpandName(answer, data + dataLength, data + 2, scratch) < 0) return -1;
    if (!AddHost(mx, preference, scratch)) break;
    p = data + dataLength;
  }
  return mx.count;
}

int32_t LookupMx(DnsResolver& r, const char* domain, const char** hosts, int32_t maximum) {
  char name[kSockHostNameSize];
  if (!domain || !SockNormalizeHostName(domain, name) || !name[0]) return Fail(cvErrorInvalidRecordName);
  if (!hosts && maximum > 0) return Fail(cvErrorInvalidParameter);
  const int32_t count = (maximum <= 0 || maximum > kDnsMaxMxHosts) ? kDnsMaxMxHosts : maximum;
  const char* ask = name;
  for (int round = 0; round < 2; ++round) {
    const int32_t n = QueryMx(r, ask, count);
    if (n != 0) {
      if (n > 0 && maximum > 0) std::copy(r.mx.hosts, r.mx.hosts + n, hosts);
      return n;
    }
    // No exchanger for the host itself: ask its parent domain of two labels once.
    const char* dot = std::strrchr(ask, '.');
    if (!dot || dot == ask) return 0;
    const char* parent = dot;
    while (parent > ask && parent[-1] != '.') --parent;
    if (parent == ask) return 0;
    ask = parent;
  }
  return 0;
}

}  // namespace

}  // namespace cvdns

using cvdns::Library;

int32_t DnsQuery(LibHandle handle, const char* name, uint8_t* answer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!answer) return cvdns::Fail(cvErrorInvalidParameter);
  return cvdns::Query(*r, name ? name : "", answer);
}

int32_t DnsQueryName(LibHandle handle, const char* name, const char* suffix, uint8_t* answer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!name || !answer) return cvdns::Fail(cvErrorInvalidParameter);
  return cvdns::QueryName(*r, name, suffix, answer);
}

int32_t DnsSearch(LibHandle handle, const char* name, uint8_t* answer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!name || !answer) return cvdns::Fail(cvErrorInvalidParameter);
  return cvdns::Search(*r, name, answer);
}

int32_t DnsQueryMx(LibHandle handle, const char* name, int32_t maximum) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!name) return cvdns::Fail(cvErrorInvalidParameter);
  return cvdns::QueryMx(*r, name, maximum);
}

int32_t DnsLookupMx(LibHandle handle, const char* domain, const char** hosts, int32_t maximum) {
  DnsResolver* r = Library().GetSession(handle);
  return r ? cvdns::LookupMx(*r, domain, hosts, maximum) : -1;
}
