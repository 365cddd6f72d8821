// Name queries with the resolver's search list, and the MX look-up over them.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/sock/sock.h"
#include "dns/dns.h"
#include "dns/dns_library.h"

namespace cvdns {

Result<int32_t> BuildQuery(DnsResolver& r, const char* name, uint8_t* message);
Result<int32_t> SendQuery(DnsResolver& r, uint8_t* message, int32_t length, uint8_t* answer);

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

Result<int32_t> Query(DnsResolver& r, const std::string& name, uint8_t* answer) {
  if (!QueryableName(name)) return Status(cvErrorInvalidHostName);
  uint8_t message[kDnsQuerySize];
  const Result<int32_t> length = BuildQuery(r, name.c_str(), message);
  if (!length.ok()) return length;
  const Result<int32_t> n = SendQuery(r, message, length.value(), answer);
  if (!n.ok()) return n;
  // An answer repeats the one question asked; any other count is no answer to it.
  if (uint16_t(answer[4] << 8 | answer[5]) != 1) return Status(cvErrorInvalidServerResponse);
  const uint8_t code = answer[3] & 0x0F;
  const uint16_t answers = uint16_t(answer[6] << 8 | answer[7]);
  if (code == 0 && answers > 0) return n;
  switch (code) {
    case 0:
      return Status(cvErrorNoServerResponse);
    case 1:
    case 2:
      return Status(cvErrorInvalidServerResponse);
    case 3:
      return Status(cvErrorHostNameNotFound);
    default:
      return Status(cvErrorHostNameRefused);
  }
}

Result<int32_t> QueryName(DnsResolver& r, const char* name, const char* suffix, uint8_t* answer) {
  std::string full(name);
  if (suffix) {
    full += '.';
    full += suffix;
  } else if (!full.empty() && full.back() == '.') {
    full.pop_back();
  }
  return Query(r, full, answer);
}

// The search walk: the answer's length. An answer comes with the error the walk ran into
// before it in *note (11002, where every search starts, when there was none).
Result<int32_t> Search(DnsResolver& r, const char* name, uint8_t* answer, Status* note) {
  std::memset(answer, 0, kDnsAnswerSize);
  Status last(cvErrorHostNameNotFound);
  const auto answered = [&](const Result<int32_t>& n) {
    if (note) *note = last;
    return n;
  };
  bool noData = false;
  if (std::strchr(name, '.')) {
    const Result<int32_t> n = QueryName(r, name, nullptr, answer);
    if (n.ok()) return answered(n);
    last = n.status();
    noData = last.error() == cvErrorNoServerResponse;
  }
  const size_t length = std::strlen(name);
  if (length > 0 && name[length - 1] == '.') return last;
  for (const char* const* suffix = r.searchList; *suffix; ++suffix) {
    if (!**suffix) continue;
    const Result<int32_t> n = QueryName(r, name, *suffix, answer);
    if (n.ok()) return answered(n);
    last = n.status();
    const uint32_t error = last.error();
    if (error == cvErrorHostNameRefused || error == cvErrorOperationTimeout) return last;
    if (error == cvErrorNoServerResponse) noData = true;
    else if (error != cvErrorHostNameNotFound) break;
  }
  if (noData) return Status(cvErrorNoServerResponse);
  return last;
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

// The exchangers of name: their count. A count comes with the error the look-up ran into
// on its way in *note (no data is no exchanger; an answer whose names cannot be read ends
// the list where they start).
Result<int32_t> QueryMx(DnsResolver& r, const char* name, int32_t maximum, Status* note) {
  DnsMxList& mx = r.mx;
  mx.count = 0;
  mx.used = 0;
  if (maximum <= 0 || maximum > kDnsMaxMxHosts) maximum = kDnsMaxMxHosts;
  uint8_t answer[kDnsAnswerSize];
  const Result<int32_t> length = Search(r, name, answer, note);
  if (!length.ok()) {
    if (length.error() != cvErrorNoServerResponse) return length;
    *note = length.status();
    return 0;
  }
  const uint8_t* const end = answer + length.value();
  char* const scratch = r.nameScratch;
  Result<int32_t> n = ExpandName(answer, end, answer + 12, scratch);
  if (!n.ok()) {
    *note = n.status();
    return 0;
  }
  const uint8_t* p = answer + 12 + n.value() + 4;
  while (mx.count < maximum && p < end) {
    if (!(n = ExpandName(answer, end, p, scratch)).ok()) {
      *note = n.status();
      break;
    }
    p += n.value();
    if (end - p < 10 || Read16(p) != kTypeMx) break;
    const uint16_t dataLength = Read16(p + 8);
    const uint8_t* const data = p + 10;
    if (dataLength < 3 || end - data < dataLength) break;
    const uint16_t preference = Read16(data);
    if (const Result<int32_t> host = ExpandName(answer, data + dataLength, data + 2, scratch); !host.ok()) return host;
    if (!AddHost(mx, preference, scratch)) break;
    p = data + dataLength;
  }
  return mx.count;
}

Result<int32_t> LookupMx(DnsResolver& r, const char* domain, const char** hosts, int32_t maximum, Status* note) {
  char name[kSockHostNameSize];
  if (!domain || !SockNormalizeHostName(domain, name) || !name[0]) return Status(cvErrorInvalidRecordName);
  if (!hosts && maximum > 0) return Status(cvErrorInvalidParameter);
  const int32_t count = (maximum <= 0 || maximum > kDnsMaxMxHosts) ? kDnsMaxMxHosts : maximum;
  const char* ask = name;
  for (int round = 0; round < 2; ++round) {
    const Result<int32_t> n = QueryMx(r, ask, count, note);
    if (!n.ok()) return n;
    if (n.value() != 0) {
      if (maximum > 0) std::copy(r.mx.hosts, r.mx.hosts + n.value(), hosts);
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
using cvdns::Status;

int32_t DnsQuery(LibHandle handle, const char* name, uint8_t* answer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!answer) return cvdns::Finish(Status(cvErrorInvalidParameter));
  return cvdns::Finish(cvdns::Query(*r, name ? name : "", answer));
}

int32_t DnsQueryName(LibHandle handle, const char* name, const char* suffix, uint8_t* answer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!name || !answer) return cvdns::Finish(Status(cvErrorInvalidParameter));
  return cvdns::Finish(cvdns::QueryName(*r, name, suffix, answer));
}

int32_t DnsSearch(LibHandle handle, const char* name, uint8_t* answer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!name || !answer) return cvdns::Finish(Status(cvErrorInvalidParameter));
  Status note;
  const cvdns::Result<int32_t> length = cvdns::Search(*r, name, answer, &note);
  return cvdns::FinishNoted(length, note);
}

int32_t DnsQueryMx(LibHandle handle, const char* name, int32_t maximum) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (!name) return cvdns::Finish(Status(cvErrorInvalidParameter));
  Status note;
  const cvdns::Result<int32_t> count = cvdns::QueryMx(*r, name, maximum, &note);
  return cvdns::FinishNoted(count, note);
}

int32_t DnsLookupMx(LibHandle handle, const char* domain, const char** hosts, int32_t maximum) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  Status note;
  const cvdns::Result<int32_t> count = cvdns::LookupMx(*r, domain, hosts, maximum, &note);
  return cvdns::FinishNoted(count, note);
}
