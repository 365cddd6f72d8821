// Reading a response head: the status line, header lines with blank runs collapsed outside
// quotes, interim responses, the status table, redirects and the announced body length.
#include <strings.h>

#include <cctype>
#include <mutex>
#include <string>
#include <vector>

#include "core/errors/out_of_memory.h"
#include "http/http_internal.h"
#include "platform/msg/message.h"

namespace cvhttp {

namespace {

// A head larger than this, or with more header lines, is not a response we can use; nor
// is one that keeps sending interim responses (a server needs one or two, not dozens).
constexpr uint32_t kHeadByteLimit = 1u << 20;
constexpr uint32_t kHeaderLineLimit = 1000;
constexpr uint32_t kInterimLimit = 16;

struct StatusRow {
  int32_t status;
  uint32_t error;
};

constexpr StatusRow kStatusTable[] = {
    {100, 0},
    {101, 0},
    {200, 0},
    {201, 0},
    {202, 0},
    {203, 0},
    {204, 0},
    {205, 0},
    {206, 0},
    {300, 0},
    {301, cvErrorResourceRedirected},
    {302, cvErrorResourceRedirected},
    {303, cvErrorResourceRedirected},
    {304, cvErrorResourceNotModified},
    {305, cvErrorProxyRequired},
    {307, cvErrorResourceRedirected},
    {308, cvErrorResourceRedirected},
    {400, cvErrorInvalidCommand},
    {401, cvErrorCommandNotAuthorized},
    {402, cvErrorResourceRestricted},
    {403, cvErrorAccessDenied},
    {404, cvErrorResourceNotFound},
    {405, cvErrorInvalidCommand},
    {406, cvErrorInvalidResource},
    {407, cvErrorProxyAuthenticationRequired},
    {408, cvErrorOperationTimeout},
    {409, cvErrorResourceConflict},
    {410, cvErrorResourceRemoved},
    {411, cvErrorContentLengthRequired},
    {412, cvErrorRequestPrecondition},
    {415, cvErrorUnsupportedMediaType},
    {416, cvErrorInvalidContentRange},
    {417, cvErrorOperationNotSupported},
    {500, cvErrorInvalidServerResponse},
    {501, cvErrorInvalidCommand},
    {502, cvErrorInvalidServerResponse},
    {503, cvErrorServiceUnavailable},
    {504, cvErrorOperationTimeout},
    {505, cvErrorInvalidProtocolVersion},
};

// What reading the lines of a head found.
struct HeadState {
  bool http10 = false;       // the status line names HTTP/1.0 (or older)
  bool statusSeen = false;   // a status line of the final response
  bool badStatus = false;    // a status line without a usable code
  bool anyLine = false;      // some line of the head has come
  uint32_t headerLines = 0;
  uint32_t interim = 0;  // interim responses skipped
};

// The status line: code after the first blank run, text after the digits and blanks.
void TakeStatusLine(HttpClientSession& s, const char* line, HeadState& h) {
  const char* p = std::strchr(line, ' ');
  int32_t code = 0;
  uint32_t digits = 0;
  if (p) {
    while (*p == ' ') ++p;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      if (digits < 9) code = code * 10 + (*p - '0');
      ++p;
      ++digits;
    }
    while (*p == ' ') ++p;
  }
  h.statusSeen = true;
  h.http10 = strncasecmp(line, "HTTP/1.0", 8) == 0 || strncasecmp(line, "HTTP/0.", 7) == 0;
  h.badStatus = digits != 3;
  s.statusCode = code;
  s.errorStatus = code >= 400;
  CopyField(s.statusText, p ? p : "");
}

Status TakeHeaderLine(HttpClientSession& s, char* line, HeadState& h) {
  char* colon = std::strchr(line, ':');
  if (!colon) return {};  // not a header line: dropped
  if (++h.headerLines > kHeaderLineLimit) return Status(cvErrorInvalidServerResponse);
  *colon = '\0';
  const char* value = colon + 1;
  while (*value == ' ' || *value == '\t') ++value;
  // A header lost for want of memory would change how the body is read and handed out;
  // one without a usable name is dropped.
  const Result<int32_t> taken = SetHeader(s, 1, line, value);
  if (!taken.ok() && *value && taken.error() == cvErrorOutOfMemory) return taken.status();
  return {};
}

// The server ends the connection after this response: it says "Connection: close", or it
// answers HTTP/1.0 without asking to keep the connection.
bool ServerWillClose(HttpClientSession& s, const HeadState& h) {
  const char* connection = FindHeader(s, s.responseHeaders, "Connection");
  auto says = [&](const char* word) { return connection && strcasestr(connection, word) != nullptr; };
  if (says("close")) return true;
  return h.http10 && !says("keep-alive");
}

bool IsInterim(int32_t code) { return code >= 100 && code < 200 && code != 101; }

// Reads lines until the empty line that ends the head.
Status ReadHeadLines(HttpClientSession& s, HeadState& h) {
  const bool skipsInterim = s.versionMajor >= 1 && s.versionMinor > 0;
  const bool trailer = !s.responsePending;
  uint32_t total = 0;
  s.lineLength = 0;
  s.quoted = 0;
  bool lastBlank = false;
  for (;;) {
    char c;
    const Result<bool> got = RawReadByte(s, c);
    if (!got.ok()) return got.status();
    if (!got.value()) {
      // The end of the connection ends a trailer, or a head whose status line has come.
      if (trailer || h.statusSeen) return {};
      return Status(cvErrorConnectionClosed);
    }
    if (++total > kHeadByteLimit) return Status(cvErrorInvalidServerResponse);
    if (c == '\n') {
      s.lineBuffer[s.lineLength] = '\0';
      char* line = s.lineBuffer;
      s.lineLength = 0;
      s.quoted = 0;
      lastBlank = false;
      if (*line == '\0') {
        if (!trailer && h.statusSeen && skipsInterim && !s.expectContinue && IsInterim(s.statusCode)) {
          if (++h.interim > kInterimLimit) return Status(cvErrorInvalidServerResponse);
          h.statusSeen = false;
          continue;
        }
        if (trailer || h.statusSeen || h.anyLine) return {};
        continue;  // blank lines before the status line
      }
      h.anyLine = true;
      if (!trailer && strncasecmp(line, "HTTP/", 5) == 0) {
        TakeStatusLine(s, line, h);
      } else if (const Status taken = TakeHeaderLine(s, line, h); !taken.ok()) {
        return taken;
      }
      continue;
    }
    if (c == '\r') continue;
    const bool blank = c == ' ' || c == '\t' || c == '\v' || c == '\f';
    if (blank) {
      if (s.lineLength == 0) continue;  // leading blanks
      if (lastBlank && !s.quoted) continue;
      lastBlank = true;
    } else {
      lastBlank = false;
      if (c == '"') s.quoted ^= 1;
    }
    if (s.lineLength < kHttpLineBufferSize - 1) s.lineBuffer[s.lineLength++] = c;
  }
}

// The body length of every nonempty "Content-Length" of the response. Lengths that differ
// leave the end of the body unknown, and what a wrong guess leaves behind would be read as
// the next response: false.
bool AnnouncedLength(HttpClientSession& s, bool& present, uint64_t& length) {
  std::lock_guard lk(Library().lock());
  for (HttpHeaderNode* node = s.responseHeaders.first; node; node = node->next) {
    if (!node->name || strcasecmp(node->name, "Content-Length") != 0 || !node->value || !*node->value) continue;
    uint64_t n = 0;
    if (!ParseContentLength(node->value, n) || (present && n != length)) return false;
    present = true;
    length = n;
  }
  return true;
}

// The transfer codings of the body, from every "Transfer-Encoding" of the response in
// order. Chunked must come last, since it alone says where the body ends; before it at
// most one compression, undone after the chunks like a content coding. False for anything
// else, which would leave the body's end or its bytes unknown.
bool TakeTransferCodings(HttpClientSession& s) {
  std::vector<std::string> codings;
  {
    std::lock_guard lk(Library().lock());
    for (HttpHeaderNode* node = s.responseHeaders.first; node; node = node->next) {
      if (!node->name || strcasecmp(node->name, "Transfer-Encoding") != 0 || !node->value) continue;
      for (const char* p = node->value; *p;) {
        const char* end = std::strchr(p, ',');
        if (!end) end = p + std::strlen(p);
        std::string coding(p, end);
        while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) coding.pop_back();
        while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) coding.erase(0, 1);
        for (char& c : coding) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (!coding.empty() && coding != "identity") codings.push_back(coding);
        p = *end ? end + 1 : end;
      }
    }
  }
  s.chunked = 0;
  s.transferCoding = 0;
  if (codings.empty()) return true;
  if (codings.back() != "chunked") return false;
  codings.pop_back();
  for (const std::string& coding : codings) {
    const int32_t id = coding == "gzip" || coding == "x-gzip" ? kEncodingGzip
                       : coding == "deflate"                  ? kEncodingDeflate
                                                              : 0;
    if (id == 0 || s.transferCoding != 0) return false;
    s.transferCoding = id;
  }
  s.chunked = 1;
  return true;
}

}  // namespace

const char* ParseDecimal(const char* p, uint64_t& value) noexcept {
  if (*p < '0' || *p > '9') return nullptr;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > (UINT64_MAX - 9) / 10) return nullptr;
    v = v * 10 + uint64_t(*p - '0');
  }
  value = v;
  return p;
}

bool ParseContentLength(const char* text, uint64_t& out) noexcept {
  uint64_t v = 0;
  const char* p = ParseDecimal(text, v);
  if (!p) return false;
  // Blanks may end the value; anything after them ("5 0") is a second length, not ours to
  // pick from.
  while (*p == ' ' || *p == '\t') ++p;
  if (*p) return false;
  out = v;
  return true;
}

uint32_t StatusToError(int32_t status) noexcept {
  for (const StatusRow& row : kStatusTable)
    if (row.status == status) return row.error;
  return status >= 400 ? cvErrorUnexpectedServerResponse : 0;
}

namespace {

Status ReadResponseOrThrow(HttpClientSession& s, bool keepOnTimeout) {
  if (!s.responsePending && !s.chunked) return {};
  const LibHandle h = s.header.handle;
  HttpHoldOtherSessions(h, 1);
  Notify::Freeze(h, true);
  HeadState head;
  Status read;
  {
    WindowDetach detach(s);
    HeadDeadline deadline(s);
    // Memory running out mid-head ends the read like any other failure, so that the
    // freeze and the hold below are undone.
    read = cvcore::OrOutOfMemory([&] { return ReadHeadLines(s, head); }, [](uint32_t e) { return Status(e); });
    s.lineLength = 0;
  }
  if (!Gone(s)) {
    Notify::Freeze(h, false);
    HttpHoldOtherSessions(h, 0);
  }
  if (!read.ok()) {
    if (!Gone(s) && !(keepOnTimeout && read.error() == cvErrorOperationTimeout)) DropConnection(s);
    return read;
  }
  if (!s.responsePending) return {};  // the trailer of a chunked body
  if (head.badStatus || !head.statusSeen) {
    DropConnection(s);
    return Status(cvErrorInvalidServerResponse);
  }
  if (s.expectContinue && s.statusCode == 100) return {};
  if (ServerWillClose(s, head)) s.keepAlive = 0;  // the next request must reconnect
  s.responsePending = 0;
  ++s.responsesOnConnection;
  s.expectContinue = 0;
  // A part of a resource nobody asked for would pass for the whole of it.
  if (s.statusCode == 206 && !s.rangeRequested) {
    DropConnection(s);
    return Raise(s, cvErrorInvalidServerResponse, kEventCommand);
  }
  uint32_t error = StatusToError(s.statusCode);
  if ((s.options & kOptErrorsAreStatus) && s.statusCode >= 400 && s.statusCode <= 599) error = 0;

  // The body that follows: nothing for HEAD and the statuses without one; else chunked,
  // an announced length, or up to the connection's end.
  s.bytesCopied.store(0);
  s.startOffset.store(0);
  s.expectedLength.store(0);
  s.chunkRemaining = 0;
  const int32_t code = s.statusCode;
  s.lengthKnown = s.method == kMethodHead || code == 204 || code == 304 || (code >= 100 && code < 200);
  s.transferCoding = 0;
  if (s.lengthKnown) {
    s.chunked = 0;
  } else if (!TakeTransferCodings(s)) {
    DropConnection(s);
    return Status(cvErrorInvalidServerResponse);
  }
  if (!s.lengthKnown && !s.chunked) {
    bool present = false;
    uint64_t n = 0;
    if (!AnnouncedLength(s, present, n)) {
      DropConnection(s);
      return Status(cvErrorInvalidServerResponse);
    }
    if (present) {
      s.expectedLength.store(n);
      s.lengthKnown = 1;
    }
  }

  if (error != 0 && error != cvErrorResourceRedirected) return Raise(s, error, kEventCommand);
  if (error == cvErrorResourceRedirected) {
    s.redirected = 1;
    if (++s.redirectCount >= 4) return Raise(s, cvErrorResourceRedirected, kEventCommand);
    const char* location = FindHeader(s, s.responseHeaders, "Location");
    if (location && *location) {
      if (const Status kept = SetText(s, s.location, location, std::strlen(location)); !kept.ok()) return kept;
      Fire(s, kEventCommand, 0);
      if (Gone(s)) return kSessionGone;
      Fire(s, kEventRedirect, 0);
      if (Gone(s)) return kSessionGone;
      if (s.options & kOptFollowRedirects) {
        const std::string target = s.location.text;
        return FollowRedirect(s, target.c_str());
      }
    }
  } else {
    Fire(s, kEventCommand, 0);
    if (Gone(s)) return kSessionGone;
  }
  if (s.notify.socketWindow)
    plat::PostMessage(s.notify.socketWindow, s.notify.socketMessage, WPARAM(s.header.controlSocket),
                      plat::WSAMakeSelectReply(uint32_t(plat::FD_READ), 0));
  return {};
}

}  // namespace

Status ReadResponse(HttpClientSession& s, bool keepOnTimeout) noexcept {
  // A response read only in part leaves the connection out of step: it goes.
  const auto failed = [&s](uint32_t error) {
    if (!Gone(s)) DropConnection(s);
    return Status(error);
  };
  return cvcore::OrOutOfMemory([&] { return ReadResponseOrThrow(s, keepOnTimeout); }, failed);
}

int32_t ContentClass(HttpClientSession& s) noexcept {
  char type[128] = {};
  if (const char* value = FindHeader(s, s.responseHeaders, "Content-Type")) {
    CopyField(type, value);
  } else if (HttpGetContentType(s.requestPath, type) == 0) {
    return 0;
  }
  return HttpContentTypeClass(type);
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpReadResponse(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  const bool reads = op.session()->responsePending || op.session()->chunked;
  return FinishRead(reads, ReadResponse(*op.session()), 0, -1);
}

uint32_t HttpStatusToError(int32_t status) { return StatusToError(status); }

int32_t HttpGetContentClass(LibHandle handle) {
  Operation op(handle);
  return op ? ContentClass(*op.session()) : -1;
}
