// Domain names in the wire format: label encoding with optional compression, and bounded
// expansion of names read from an answer.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "dns/dns.h"
#include "dns/dns_library.h"

namespace cvdns {

namespace {

constexpr size_t kMaxLabel = 63;
constexpr uint32_t kMaxPointerOffset = 0x3FFF;

// Splits a name at unescaped dots; a backslash takes the next character literally. An empty
// label fails, except for one trailing dot (and the root name "." alone).
bool SplitLabels(const char* name, std::vector<std::string>* labels) {
  std::string label;
  const char* p = name;
  if (p[0] == '.' && p[1] == '\0') return true;
  while (*p) {
    if (*p == '\\') {
      if (!p[1]) return false;
      label += p[1];
      p += 2;
    } else if (*p == '.') {
      if (label.empty()) return false;
      labels->push_back(std::move(label));
      label.clear();
      ++p;
    } else {
      label += *p++;
    }
    if (label.size() > kMaxLabel) return false;
  }
  if (!label.empty()) labels->push_back(std::move(label));
  return true;
}

// Follows compression pointers at q (names written earlier in our own message, before
// limit); null when a pointer leads outside or loops.
const uint8_t* Resolve(const uint8_t* message, const uint8_t* limit, const uint8_t* q) {
  for (int jumps = 0; q < limit && (*q & 0xC0) == 0xC0; ++jumps) {
    if (jumps > limit - message || q + 1 >= limit) return nullptr;
    q = message + (((*q & 0x3F) << 8) | q[1]);
  }
  return q < limit ? q : nullptr;
}

// Whether the name at q is exactly labels[from..] (ASCII case-insensitive).
bool SuffixAt(const uint8_t* message, const uint8_t* limit, const uint8_t* q, const std::vector<std::string>& labels,
              size_t from) {
  for (size_t k = from; k < labels.size(); ++k) {
    q = Resolve(message, limit, q);
    if (!q || *q == 0 || *q > kMaxLabel || *q != labels[k].size() || q + 1 + *q > limit) return false;
    for (size_t c = 0; c < labels[k].size(); ++c)
      if (std::tolower(q[1 + c]) != std::tolower(uint8_t(labels[k][c]))) return false;
    q += 1 + *q;
  }
  q = Resolve(message, limit, q);
  return q && *q == 0;
}

// The message offset of a name already in the message that equals labels[from..]; -1 if none.
int32_t FindSuffix(const uint8_t** list, const uint8_t* limit, const std::vector<std::string>& labels, size_t from) {
  const uint8_t* message = list[0];
  for (const uint8_t** e = list + 1; *e; ++e) {
    const uint8_t* q = *e;
    for (int steps = 0; steps < 128; ++steps) {
      q = Resolve(message, limit, q);
      if (!q || *q == 0 || *q > kMaxLabel) break;
      if (uint32_t(q - message) <= kMaxPointerOffset && SuffixAt(message, limit, q, labels, from))
        return int32_t(q - message);
      q += 1 + *q;
    }
  }
  return -1;
}

// A name that cannot be read leaves an empty output.
Status BadName(char* output) {
  output[0] = '\0';
  return Status(cvErrorInvalidServerResponse);
}

}  // namespace

Result<int32_t> EncodeName(const char* name, uint8_t* output, int32_t room, const uint8_t** list,
                           const uint8_t** end) noexcept {
  if (!name || !output || room <= 0) return Status(cvErrorInvalidParameter);
  std::vector<std::string> labels;
  if (!SplitLabels(name, &labels)) return Status(cvErrorInvalidHostName);
  const bool compress = list && list[0] && end && output >= list[0];
  size_t shared = labels.size();  // the first label of the suffix found in the message
  int32_t pointer = -1;
  if (compress) {
    for (size_t i = 0; i < labels.size() && pointer < 0; ++i)
      if ((pointer = FindSuffix(list, output, labels, i)) >= 0) shared = i;
  }
  size_t length = (pointer >= 0 ? 2 : 1);
  for (size_t i = 0; i < shared; ++i) length += 1 + labels[i].size();
  if (length > size_t(room)) return Status(cvErrorInvalidParameter);
  uint8_t* p = output;
  for (size_t i = 0; i < shared; ++i) {
    *p++ = uint8_t(labels[i].size());
    std::memcpy(p, labels[i].data(), labels[i].size());
    p += labels[i].size();
  }
  if (pointer >= 0) {
    *p++ = uint8_t(0xC0 | (pointer >> 8));
    *p++ = uint8_t(pointer & 0xFF);
  } else {
    *p++ = 0;
  }
  // Remember where the new name starts, for the names after it.
  if (compress && shared > 0 && uint32_t(output - list[0]) <= kMaxPointerOffset) {
    const uint8_t** e = list + 1;
    while (e < end && *e) ++e;
    if (e < end) {
      *e = output;
      if (e + 1 < end) e[1] = nullptr;
    }
  }
  return int32_t(length);
}

Result<int32_t> ExpandName(const uint8_t* message, const uint8_t* end, const uint8_t* position, char* output) noexcept {
  if (output) output[0] = '\0';
  if (!message || !end || !position || !output || end <= message || position < message || position >= end)
    return Status(cvErrorInvalidServerResponse);
  const uint8_t* p = position;
  const ptrdiff_t maxJumps = end - message;
  ptrdiff_t jumps = 0;
  int32_t taken = -1;  // bytes of the name at position, known at the first pointer or the end
  size_t n = 0;
  for (;;) {
    if (p >= end) return BadName(output);
    const uint8_t len = *p;
    if ((len & 0xC0) == 0xC0) {
      if (p + 1 >= end) return BadName(output);
      const ptrdiff_t offset = ((len & 0x3F) << 8) | p[1];
      if (taken < 0) taken = int32_t(p + 2 - position);
      if (offset >= end - message || ++jumps > maxJumps) return BadName(output);
      p = message + offset;
      continue;
    }
    if (len & 0xC0) return BadName(output);
    if (len == 0) break;
    if (p + 1 + len > end) return BadName(output);
    if (n > 0) {
      if (n + 1 > kDnsNameSize - 1) return BadName(output);
      output[n++] = '.';
    }
    for (const uint8_t* c = p + 1; c < p + 1 + len; ++c) {
      if (n + (*c == '.' ? 2 : 1) > kDnsNameSize - 1) return BadName(output);
      if (*c == '.') output[n++] = '\\';
      output[n++] = char(*c);
    }
    p += 1 + len;
  }
  output[n] = '\0';
  if (taken < 0) taken = int32_t(p + 1 - position);
  return taken;
}

}  // namespace cvdns

int32_t DnsEncodeName(const char* name, uint8_t* output, int32_t room, const uint8_t** list, const uint8_t** end) {
  return cvdns::Finish(cvdns::EncodeName(name, output, room, list, end));
}

int32_t DnsExpandName(const uint8_t* message, const uint8_t* end, const uint8_t* position, char* output) {
  return cvdns::Finish(cvdns::ExpandName(message, end, position, output));
}
