// The request and response header lists of a session, the headers an operation computes
// for itself, and the range header of resumed downloads. Nodes and texts live on the
// session heap; the lists are guarded by the library lock.
#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>

#include "http/http_internal.h"

namespace cvhttp {

namespace {

HttpHeaderList* ListOf(HttpClientSession& s, uint32_t list) noexcept {
  if (list == 0) return &s.requestHeaders;
  if (list == 1) return &s.responseHeaders;
  return nullptr;
}

constexpr const char* kOwnNames[] = {
    "Host",         "Connection",     "Accept", "Cache-Control",       "Pragma",        "Content-Type",
    "Content-Length", "Depth",        "User-Agent", "Proxy-Authorization", "Authorization", "Range",
    "Accept-Encoding",
};
static_assert(std::size(kOwnNames) == size_t(OwnHeader::Count));

uint32_t Bit(OwnHeader which) noexcept { return 1u << uint32_t(which); }

// "bytes=offset-"
std::string RangeValue(uint64_t offset) {
  char value[48];
  std::snprintf(value, sizeof value, "bytes=%" PRIu64 "-", offset);
  return value;
}

const char* SkipBlanks(const char* p) noexcept {
  while (p && (*p == ' ' || *p == '\t')) ++p;
  return p;
}

// Chunked as the last of a list of codings ("gzip, chunked") frames the body as chunks.
bool LastCodingIsChunked(const char* value) noexcept {
  const char* comma = std::strrchr(value, ',');
  std::string last = SkipBlanks(comma ? comma + 1 : value);
  while (!last.empty() && (last.back() == ' ' || last.back() == '\t')) last.pop_back();
  return strcasecmp(last.c_str(), "chunked") == 0;
}

char* CopyToHeap(HttpClientSession& s, const char* text) noexcept {
  const size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(MemSessionAlloc(s.header.handle, n + 1));
  if (copy) std::memcpy(copy, text, n + 1);
  return copy;
}

void EmptyNode(HttpClientSession& s, HttpHeaderNode& node) noexcept {
  if (node.name) MemSessionFree(s.header.handle, node.name);
  if (node.value) MemSessionFree(s.header.handle, node.value);
  node.name = nullptr;
  node.value = nullptr;
}

// Puts copies of name and value into node (replacing what it held); false when memory runs out.
bool Fill(HttpClientSession& s, HttpHeaderNode& node, const char* name, const char* value) noexcept {
  char* n = CopyToHeap(s, name);
  char* v = n ? CopyToHeap(s, value) : nullptr;
  if (!v) {
    if (n) MemSessionFree(s.header.handle, n);
    return false;
  }
  EmptyNode(s, node);
  node.name = n;
  node.value = v;
  return true;
}

}  // namespace

bool IsToken(const char* text) noexcept {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    if (*p <= ' ' || *p >= 127 || std::strchr("()<>@,;:\\\"/[]?={}", *p)) return false;
  return true;
}

const char* FindHeader(HttpClientSession&, HttpHeaderList& list, const char* name) noexcept {
  std::lock_guard lk(Library().lock());
  for (HttpHeaderNode* n = list.first; n; n = n->next)
    if (n->name && strcasecmp(n->name, name) == 0) return n->value ? n->value : "";
  return nullptr;
}

Result<int32_t> SetHeader(HttpClientSession& s, uint32_t list, const char* name, const char* value) noexcept {
  name = SkipBlanks(name);
  value = SkipBlanks(value);
  if (Empty(name)) return Status(cvErrorInvalidParameter);
  if (Empty(value)) value = nullptr;
  // A line break in a request header would start a header (or a body) of its own.
  // A name that is not a token would split the header or be read differently by every server.
  if (list == 0 && (!IsToken(name) || (value && std::strpbrk(value, "\r\n")))) return Status(cvErrorInvalidParameter);
  HttpHeaderList* l = ListOf(s, list);
  if (!l) return Status(cvErrorInvalidParameter);
  if (list == 0) {
    for (uint32_t i = 0; i < uint32_t(OwnHeader::Count); ++i)
      if (strcasecmp(name, kOwnNames[i]) == 0) s.ownHeaders &= ~(1u << i);
    if (strcasecmp(name, "Expect") == 0) s.expectContinue = value && strcasecmp(value, "100-Continue") == 0;
  } else if (strcasecmp(name, "Transfer-Encoding") == 0) {
    s.chunked = value && LastCodingIsChunked(value);
  }
  std::lock_guard lk(Library().lock());
  HttpHeaderNode* reusable = nullptr;
  for (HttpHeaderNode* n = l->first; n; n = n->next) {
    if (!n->name) {
      if (!reusable) reusable = n;
      continue;
    }
    if (list == 0 && strcasecmp(n->name, name) == 0) {
      if (!value) {
        EmptyNode(s, *n);
        return 1;
      }
      if (!Fill(s, *n, name, value)) return Status(cvErrorOutOfMemory);
      return 1;
    }
  }
  if (!value) return 0;
  if (reusable) {
    if (!Fill(s, *reusable, name, value)) return Status(cvErrorOutOfMemory);
    return 1;
  }
  auto* node = static_cast<HttpHeaderNode*>(MemSessionAlloc(s.header.handle, sizeof(HttpHeaderNode)));
  if (!node) return Status(cvErrorOutOfMemory);
  *node = HttpHeaderNode{};
  if (!Fill(s, *node, name, value)) {
    MemSessionFree(s.header.handle, node);
    return Status(cvErrorOutOfMemory);
  }
  if (l->last)
    l->last->next = node;
  else
    l->first = node;
  l->last = node;
  return 1;
}

void RemoveHeader(HttpClientSession& s, const char* name) noexcept {
  // A removal takes no memory; only a name that is no header could fail, and none of ours is.
  static_cast<void>(SetHeader(s, 0, name, nullptr));
}

void ClearHeaders(HttpClientSession& s, HttpHeaderList& list) noexcept {
  std::lock_guard lk(Library().lock());
  for (HttpHeaderNode* n = list.first; n;) {
    HttpHeaderNode* next = n->next;
    EmptyNode(s, *n);
    MemSessionFree(s.header.handle, n);
    n = next;
  }
  list = HttpHeaderList{};
}

void SetOwnHeader(HttpClientSession& s, OwnHeader which, const char* value, bool ifAbsent) noexcept {
  const char* name = kOwnNames[uint32_t(which)];
  if (ifAbsent && FindHeader(s, s.requestHeaders, name)) return;
  const Result<int32_t> set = SetHeader(s, 0, name, value);
  if (set.ok() && set.value() == 1 && !Empty(value)) s.ownHeaders |= Bit(which);
}

void DropOwnHeader(HttpClientSession& s, OwnHeader which) noexcept {
  if (!(s.ownHeaders & Bit(which))) return;
  RemoveHeader(s, kOwnNames[uint32_t(which)]);
}

void DropOwnHeaders(HttpClientSession& s) noexcept {
  for (uint32_t i = 0; i < uint32_t(OwnHeader::Count); ++i) DropOwnHeader(s, OwnHeader(i));
}

Status SetRange(HttpClientSession& s, uint64_t offset) noexcept {
  if (offset == UINT64_MAX) return Status(cvErrorInvalidContentRange);
  if (offset == 0) {
    RemoveHeader(s, "Range");
    return {};
  }
  SetOwnHeader(s, OwnHeader::Range, RangeValue(offset).c_str());
  // The only way a valid range header is not set: no memory for it.
  return (s.ownHeaders & Bit(OwnHeader::Range)) ? Status() : Status(cvErrorOutOfMemory);
}

}  // namespace cvhttp

using namespace cvhttp;

namespace {

// The value of a header into buffer (room bytes); its length into size. 1 when found.
Result<int32_t> CopyHeader(HttpClientSession& s, uint32_t list, const char* name, char* buffer, uint32_t room,
                           uint32_t* size) {
  if (Empty(name) || list > 1) return Status(cvErrorInvalidParameter);
  if (!size) return 0;
  std::lock_guard lk(Library().lock());
  const char* value = FindHeader(s, list == 0 ? s.requestHeaders : s.responseHeaders, name);
  if (!value) return 0;
  const size_t n = std::strlen(value);
  *size = uint32_t(n);
  if (n != 0 && buffer) {
    if (n + 1 > room) return Status(cvErrorBufferTooSmall);
    std::memcpy(buffer, value, n + 1);
  }
  return 1;
}

}  // namespace

int32_t HttpFindHeader(LibHandle handle, uint32_t list, const char* name, char* buffer, uint32_t* size) {
  Library().SetLastError(0);
  const uint32_t room = size ? *size : 0;
  if (buffer && room) buffer[0] = '\0';
  if (size) *size = 0;
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return 0;
  return Finish(CopyHeader(*s, list, name, buffer, room, size), 0);
}

int32_t HttpSetHeader(LibHandle handle, uint32_t list, const char* name, const char* value) {
  HttpClientSession* s = HttpGetSession(handle);
  return s ? Finish(SetHeader(*s, list, name, value), 0) : 0;
}

int32_t HttpClearHeaders(LibHandle handle, uint32_t list) {
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return 0;
  if (list > 1) return Finish(Status(cvErrorInvalidParameter), 1, 0);
  ClearHeaders(*s, list == 0 ? s->requestHeaders : s->responseHeaders);
  return 1;
}

int32_t HttpGetRequestHeader(LibHandle handle, const char* name, char* buffer, uint32_t size) {
  uint32_t n = size;
  return HttpFindHeader(handle, 0, name, buffer, &n) == 1 && n != 0 ? 1 : 0;
}

int32_t HttpSetRequestHeader(LibHandle handle, const char* name, const char* value) {
  return HttpSetHeader(handle, 0, name, value);
}

int32_t HttpGetResponseHeader(LibHandle handle, const char* name, char* buffer, uint32_t size) {
  uint32_t n = size;
  return HttpFindHeader(handle, 1, name, buffer, &n);
}

int32_t HttpSetRange(LibHandle handle, uint64_t offset) {
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return 0;
  // The caller's range stays until the caller removes it.
  if (offset == UINT64_MAX) return Finish(Status(cvErrorInvalidContentRange), 1, 0);
  if (offset == 0) {
    RemoveHeader(*s, "Range");
    return 1;
  }
  return Finish(SetHeader(*s, 0, "Range", RangeValue(offset).c_str()), 0);
}
