// Header fields and the sender of a message: asked of the server with XTND XLST and XSENDER
// while it accepts them, otherwise found in the message's header block (TOP n 0), which the
// session keeps for the last message asked about.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "pop3/pop3_control.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {
namespace {

constexpr uint32_t kLineSize = 256;   // XTND XLST lines: 255 bytes and the terminator
constexpr uint32_t kFromSize = 256;   // the From value the sender is taken from
constexpr uint32_t kNameSize = 256;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The session's header cache lives in its spare global memory block (freed with the
// session): this record, then the header text.
struct HeaderCache {
  uint32_t message;
  uint32_t length;
};

Status CheckMessage(const Pop3Session& s, uint32_t message) {
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (!s.loggedIn) return Status(cvErrorAuthenticationRequired);
  if (s.replyPending || s.multiLine) return Status(cvErrorOperationInProgress);
  return {};
}

// Reads a multi-line answer line by line in line-break mode, without window-message reads
// and without read events.
class LineReaderScope {
 public:
  explicit LineReaderScope(Pop3Session& s) noexcept
      : s_(s), suspended_(s.windowSuspended), options_(s.options), retrieving_(s.retrieving) {
    s.windowSuspended = 1;
    s.options |= kPop3OptionLineBreak;
    s.retrieving = 1;
  }
  ~LineReaderScope() {
    s_.windowSuspended = suspended_;
    s_.options = (s_.options & ~kPop3OptionLineBreak) | (options_ & kPop3OptionLineBreak);
    s_.retrieving = retrieving_;
  }
  LineReaderScope(const LineReaderScope&) = delete;
  LineReaderScope& operator=(const LineReaderScope&) = delete;

 private:
  Pop3Session& s_;
  uint32_t suspended_, options_, retrieving_;
};

// "XTND XLST name n": the value of the last listed line into buffer. Its length; a server
// that does not take the command is cvErrorFeatureNotSupported.
Result<int32_t> AskServer(Pop3Session& s, uint32_t message, const char* name, char* buffer, uint32_t size) {
  buffer[0] = '\0';
  char argument[kNameSize + 16];
  std::snprintf(argument, sizeof argument, "%s %u", name, message);
  if (const Status taken = Accepted(SendCommand(s, "XTND XLST", argument), cvErrorFeatureNotSupported); !taken.ok())
    return taken;
  LineReaderScope scope(s);
  s.multiLine = 1;
  s.responseEnded = 0;
  s.terminatorState = 2;
  int32_t result = 0;
  for (;;) {
    char line[kLineSize];
    const Result<int32_t> n = ReadData(s, line, int32_t(sizeof line - 1));
    if (!n.ok()) return GoneOr(s, n.status());
    if (n.value() == 0) break;
    line[n.value()] = '\0';
    // "<number> <name>: <value>"
    const char* p = line;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    while (IsBlank(*p)) ++p;
    size_t end = std::strlen(p);
    while (end > 0 && IsBlank(p[end - 1])) --end;
    const char* colon = static_cast<const char*>(std::memchr(p, ':', end));
    if (!colon) continue;
    const char* value = colon + 1;
    while (value < p + end && IsBlank(*value)) ++value;
    const size_t length = std::min<size_t>(size_t(p + end - value), size - 1);
    std::memcpy(buffer, value, length);
    buffer[length] = '\0';
    result = int32_t(length);
  }
  return result;
}

// The cached header block of message, fetched when the cache holds another one.
Result<const HeaderCache*> CachedHeaders(Pop3Session& s, uint32_t message) {
  if (s.spareBlock) {
    const auto* cache = static_cast<const HeaderCache*>(plat::GlobalLock(s.spareBlock));
    plat::GlobalUnlock(s.spareBlock);
    if (cache->message == message) return cache;
    plat::GlobalFree(s.spareBlock);
    s.spareBlock = nullptr;
  }
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (const Status retrieved = RetrieveMessage(s, message, &block, &length, kPop3ReadHeadersOnly); !retrieved.ok())
    return retrieved;
  plat::UniqueGlobal text(block);
  if (!block || length == 0) return Status(cvErrorFeatureNotSupported);
  plat::HGLOBAL cacheBlock = plat::GlobalAlloc(plat::GMEM_FIXED | plat::GMEM_ZEROINIT, sizeof(HeaderCache) + length + 1);
  if (!cacheBlock) return Status(cvErrorOutOfMemory);
  auto* cache = static_cast<HeaderCache*>(plat::GlobalLock(cacheBlock));
  cache->message = message;
  cache->length = length;
  std::memcpy(cache + 1, plat::GlobalLock(block), length);
  plat::GlobalUnlock(block);
  plat::GlobalUnlock(cacheBlock);
  s.spareBlock = cacheBlock;
  return cache;
}

// The field's value in a header block, folded lines joined: CR dropped, every other white
// space (the line ends of folds too) one blank each. Characters stored, or 0 when absent.
int32_t FindField(const char* text, uint32_t length, const char* name, char* buffer, uint32_t size) {
  const size_t nameLength = std::strlen(name);
  for (uint32_t at = 0; at < length;) {
    const bool matches = at + nameLength < length && strncasecmp(text + at, name, nameLength) == 0 &&
                         text[at + nameLength] == ':';
    if (!matches) {
      const void* next = std::memchr(text + at, '\n', length - at);
      if (!next) break;
      at = uint32_t(static_cast<const char*>(next) - text) + 1;
      continue;
    }
    uint32_t p = at + uint32_t(nameLength) + 1;
    while (p < length && (text[p] == ' ' || text[p] == '\t')) ++p;
    uint32_t stored = 0;
    for (; p < length && stored + 1 < size; ++p) {
      const char c = text[p];
      if (c == '\r') continue;
      if (c == '\n' && !(p + 1 < length && (text[p + 1] == ' ' || text[p + 1] == '\t'))) break;
      buffer[stored++] = IsBlank(c) ? ' ' : c;
    }
    buffer[stored] = '\0';
    return int32_t(stored);
  }
  return 0;
}

Result<int32_t> HeaderValue(Pop3Session& s, uint32_t message, const char* field, char* buffer, uint32_t size) {
  if (const Status checked = CheckMessage(s, message); !checked.ok()) return checked;
  if (!field || !*field || !buffer || size == 0) return Status(cvErrorInvalidParameter);
  char name[kNameSize];
  std::snprintf(name, sizeof name, "%s", field);
  if (char* colon = std::strchr(name, ':')) *colon = '\0';
  if (!name[0]) return Status(cvErrorInvalidParameter);
  if (s.capabilities & kPop3CapabilityXlst) {
    // Whatever kept the server from answering, the header block answers instead.
    const Result<int32_t> n = AskServer(s, message, name, buffer, size);
    if (n.ok() || Gone(s)) return n;
    s.capabilities &= ~kPop3CapabilityXlst;
  }
  const Result<const HeaderCache*> cache = CachedHeaders(s, message);
  if (!cache.ok()) return cache.status();
  return FindField(reinterpret_cast<const char*>(cache.value() + 1), cache.value()->length, name, buffer, size);
}

// The address inside "<...>", else the text inside "(...)", else the whole value.
std::string SenderAddress(const char* value) {
  std::string v(value);
  for (auto [open, close] : {std::pair{'<', '>'}, std::pair{'(', ')'}}) {
    const size_t start = v.find(open);
    if (start == std::string::npos) continue;
    const size_t end = v.find(close, start + 1);
    return v.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  }
  return v;
}

int32_t HandOutSender(const char* text, char* buffer) {
  const size_t n = strnlen(text, kPop3SenderSize - 1);
  if (buffer) {
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
  }
  return int32_t(n);
}

}  // namespace
}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3GetHeaderValue(LibHandle handle, uint32_t message, const char* name, char* buffer, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(HeaderValue(*op, message, name, buffer, size));
}

int32_t Pop3GetMessageSender(LibHandle handle, uint32_t message, char* buffer) {
  Operation op(handle);
  if (!op) return -1;
  Pop3Session& s = *op;
  if (const Status checked = CheckMessage(s, message); !checked.ok()) return Finish(checked);
  if (buffer) buffer[0] = '\0';
  if (s.capabilities & kPop3CapabilityXsender) {
    char argument[16];
    std::snprintf(argument, sizeof argument, "%u", message);
    const Result<int32_t> asked = SendCommand(s, "XSENDER", argument);
    if (asked.ok() && asked.value() == 1) return FinishExchange(HandOutSender(s.replyText, buffer));
    if (Gone(s)) return Finish(Status(cvErrorInvalidHandle));
    s.capabilities &= ~kPop3CapabilityXsender;
  }
  char from[kFromSize] = "";
  // No From value, however the look-up ended, is a sender this server cannot name.
  const Result<int32_t> found = HeaderValue(s, message, "FROM", from, sizeof from);
  if (!found.ok() || found.value() <= 0) return Finish(Status(cvErrorFeatureNotSupported));
  const std::string address = SenderAddress(from);
  return FinishExchange(HandOutSender(address.c_str(), buffer));
}

int32_t Pop3GetHeaders(LibHandle handle, uint32_t message, plat::HGLOBAL* block, uint32_t* length) {
  Operation op(handle);
  if (!op) return -1;
  if (!block || !length) return Finish(Status(cvErrorInvalidParameter));
  *length = 0;
  const Status retrieved = RetrieveMessage(*op, message, block, length, kPop3ReadHeadersOnly);
  return FinishExchange(retrieved.ok() ? Result<int32_t>(0) : Result<int32_t>(retrieved));
}
