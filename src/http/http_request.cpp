// The request composer: target, escaping, request line, default headers, body, and the
// response head; plus ending a request, the last result and Basic authentication.
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/errors/out_of_memory.h"
#include "core/url/url.h"
#include "http/http_internal.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"

namespace cvhttp {

namespace {

// Not a flag of the interface: the caller sends the body and reads the response itself.
constexpr uint32_t kCallerSendsBody = 0x40000000;
// The request is already the second attempt on a fresh connection.
constexpr uint32_t kResent = 0x20000000;

struct MethodRow {
  const char* name;
  uint32_t id;
};

// In search order.
constexpr MethodRow kMethods[] = {
    {"GET", 1},     {"HEAD", 2},      {"POST", 3},       {"PUT", 4},         {"COPY", 6},     {"OPTIONS", 5},
    {"MOVE", 7},    {"LOCK", 8},      {"UNLOCK", 9},     {"DELETE", 10},     {"MKCOL", 11},   {"PROPFIND", 12},
    {"BPROPFIND", 13}, {"PROPPATCH", 14}, {"BPROPPATCH", 15}, {"PATCH", 16},
};

bool IsBodyMethod(uint32_t id) {
  return id == kMethodPost || id == kMethodPropfind || id == kMethodBpropfind || id == kMethodProppatch ||
         id == kMethodBproppatch || id == kMethodPatch;
}

bool IsDottedNumeric(const char* host) {
  for (const char* p = host; *p; ++p)
    if (!((*p >= '0' && *p <= '9') || *p == '.')) return false;
  return true;
}

// The host as it appears in a URL or a Host header: IPv6 literals in brackets.
std::string UrlHost(const char* host) {
  return SockAddressFamily(host) == 23 ? "[" + std::string(host) + "]" : std::string(host);
}

// Percent-encodes text with mode into out; false when it does not fit in room.
bool Encode(uint32_t mode, const char* text, size_t length, size_t room, std::string& out) {
  std::vector<char> buffer(room + 1);
  const Result<int32_t> n = EncodeText(mode, text, int32_t(length), buffer.data(), int32_t(room));
  if (!n.ok()) return false;
  out.assign(buffer.data(), size_t(n.value()));
  return true;
}

bool HasControl(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

Status SendBody(HttpClientSession& s, const char* data, uint32_t length) {
  s.expectedLength.store(length);
  s.bytesCopied.store(0);
  s.startOffset.store(0);
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return kSessionGone;
  BlockPacer pacer;
  uint32_t sent = 0;
  while (sent < length) {
    const uint32_t n = std::min<uint32_t>(length - sent, BlockSize(s));
    if (const Status out = RawSend(s, data + sent, n); !out.ok()) return out;
    sent += n;
    s.bytesCopied.fetch_add(n);
    if (const Status paced = AfterBlock(s, pacer); !paced.ok()) return paced;
  }
  s.lineLength = 0;
  s.endTick.store(plat::GetTickCount());
  s.expectedLength.store(0);
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return kSessionGone;
  s.startOffset.store(sent);
  return {};
}

// A kept-alive connection that the server has closed while idle: its end has arrived and
// nothing else is waiting to be read.
bool PeerHasClosed(HttpClientSession& s) {
  const SOCKET sock = s.header.controlSocket;
  if (sock == INVALID_SOCKET || TlsActive(s) || !s.input.empty()) return false;
  pollfd fd{int(sock), POLLIN, 0};
  if (::poll(&fd, 1, 0) != 1) return false;
  char c;
  const int32_t n = SockRecv(sock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && plat::GetLastError() != plat::WSAEWOULDBLOCK);
}

}  // namespace

std::string Base64(const std::string& text) {
  std::vector<char> out(text.size() / 3 * 4 + 8 + text.size());
  const Result<int32_t> n = EncodeText(1, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  return n.ok() && n.value() > 0 ? std::string(out.data(), size_t(n.value())) : std::string();
}

namespace {

Result<int32_t> SendRequestOrThrow(HttpClientSession& s, const char* method, const char* resource, const void* data,
                                   uint32_t length, uint32_t flags) {
  if (Empty(method) || !IsToken(method)) return Status(cvErrorInvalidCommand);
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  const bool redirect = flags & kRedirectFlag;
  const bool callerSendsBody = flags & kCallerSendsBody;
  // The data may be the session's own stored body (the re-send of a redirect).
  std::string body;
  const bool haveData = data && length;
  if (haveData) body.assign(static_cast<const char*>(data), length);
  std::string target = resource;

  if (!redirect) {
    s.redirected = 0;
    s.redirectCount = 0;
  }
  if (s.errorStatus) {
    if (const Status reconnected = Reconnect(s); !reconnected.ok()) return reconnected;
  }
  if (s.requestOpen) return Status(cvErrorRequestNotCompleted);
  if (!s.serverClosed && (s.options & kOptKeepAlive) && PeerHasClosed(s)) s.serverClosed = 1;
  if (s.serverClosed) {
    if (!(s.options & kOptKeepAlive)) return Status(cvErrorConnectionClosed);
    if (const Status reconnected = Reconnect(s); !reconnected.ok()) return reconnected;
  }
  // A server may close an idle kept-alive connection just as the next request leaves
  // (some proxies always do, without saying so). A request that met such a close before
  // any of its response came is sent once more on a new connection, unless the caller
  // sends its body itself and the body is no longer ours to send.
  const bool reused = s.responsesOnConnection > 0 && (s.options & kOptKeepAlive) && !(flags & kResent);
  const auto resend = [&](Status failure) -> Result<int32_t> {
    const uint32_t error = failure.error();
    const bool closedUnanswered =
        error == cvErrorConnectionClosed || error == cvErrorConnectionReset || error == cvErrorConnectionAborted;
    if (!reused || callerSendsBody || !closedUnanswered || s.statusCode != 0 || Gone(s)) return failure;
    DropConnection(s);
    return SendRequestOrThrow(s, method, resource, data, length, flags | kResent);
  };
  const bool proxied = s.proxyType != kProxyNone;
  // A URL's fragment is never part of a request target; a plain path's "#" is part of a name
  // and goes out encoded.
  if (HttpGetUrlScheme(target.c_str()) != 0) target.erase(std::min(target.find('#'), target.size()));
  if (!proxied && HttpGetUrlScheme(target.c_str()) != 0) {
    HttpUrl* url = nullptr;
    if (HttpParseUrl(target.c_str(), 0, &url) && url->host && EqualNoCase(url->host, s.host) && url->port == s.port) {
      std::string local = (url->path && *url->path) ? url->path : "/";
      if (url->query) local += std::string("?") + url->query;
      target = local;
    }
    UrlFree(url);
  }

  s.method = kMethodOther;
  const char* methodName = method;
  for (const MethodRow& row : kMethods) {
    if (strcasecmp(row.name, method) == 0) {
      s.method = row.id;
      methodName = row.name;
      break;
    }
  }
  const uint32_t id = s.method;

  s.chunked = 0;
  s.transferCoding = 0;
  s.chunkRemaining = 0;
  s.lengthKnown = 0;
  s.expectedLength.store(0);
  s.bytesCopied.store(0);
  s.startOffset.store(0);
  s.statusCode = 0;
  s.statusText[0] = '\0';
  s.rangeRequested = 0;
  FreeText(s, s.requestText);
  FreeText(s, s.query);
  FreeText(s, s.requestBody);
  FreeText(s, s.proxyUrlPrefix);
  FreeText(s, s.absoluteUrl);

  if (proxied) {
    if (size_t scheme = target.find("://"); scheme != std::string::npos) {
      const size_t slash = target.find('/', scheme + 3);
      const std::string prefix = target.substr(0, slash);
      if (prefix.size() > 255) return Status(cvErrorInvalidResource);
      if (const Status kept = SetText(s, s.proxyUrlPrefix, prefix.c_str(), prefix.size()); !kept.ok()) return kept;
      target = slash == std::string::npos ? "/" : target.substr(slash);
    }
  }

  // Path and query.
  std::string path, query;
  if (size_t q = target.find('?'); q != std::string::npos) {
    path = target.substr(0, q);
    query = target.substr(q + 1);
    if (path.size() >= kHttpRequestPathSize - 1) return Status(cvErrorInvalidFileName);
    if (HttpUrlNeedsEncoding(path.c_str(), uint32_t(path.size()))) {
      if (!Encode(2, path.c_str(), path.size(), kHttpRequestPathSize - 1, path)) return Status(cvErrorInvalidFileName);
    }
    if (s.urlEncoding && HttpUrlNeedsEncoding(query.c_str(), uint32_t(query.size()))) {
      if (!Encode(3, query.c_str(), query.size(), query.size() * 3 + 512, query)) return Status(cvErrorDataNotEncoded);
    }
  } else {
    path = target;
    if (HttpUrlNeedsEncoding(path.c_str(), uint32_t(path.size()))) {
      if (!Encode(2, path.c_str(), path.size(), kHttpRequestPathSize - 1, path)) return Status(cvErrorInvalidFileName);
    } else if (path.size() > kHttpRequestPathSize - 1) {
      path.resize(kHttpRequestPathSize - 1);
    }
  }
  CopyField(s.requestPath, path.c_str());
  if (!query.empty()) {
    if (const Status kept = SetText(s, s.query, query.c_str(), query.size()); !kept.ok()) return kept;
  }

  std::string absolute;
  if (proxied) {
    if (s.proxyType != kProxyCern && s.proxyType != kProxyTunnel && s.proxyType != kProxyOther)
      return Status(cvErrorInvalidProxyType);
    if (s.proxyUrlPrefix.text) {
      absolute = s.proxyUrlPrefix.text;
    } else {
      const bool https = s.proxyType == kProxyTunnel || s.port == 443;
      absolute = std::string(https ? "https://" : "http://") + UrlHost(s.host) + ":" + std::to_string(s.port);
    }
    absolute += path;
    if (!query.empty()) absolute += "?" + query;
    if (const Status kept = SetText(s, s.absoluteUrl, absolute.c_str(), absolute.size()); !kept.ok()) return kept;
  }

  // Data: a body for the body methods, a query for the others (PUT's body comes later).
  const bool bodyMethod = IsBodyMethod(id);
  if (haveData && !redirect && HttpUrlNeedsEncoding(body.data(), uint32_t(body.size()))) {
    bool encode;
    if (id == kMethodPost || id == kMethodPut)
      encode = s.urlEncoding != 0;
    else
      encode = !bodyMethod;
    if (encode && !Encode(3, body.data(), body.size(), body.size() * 3 + 512, body))
      return Status(cvErrorDataNotEncoded);
  }

  std::string line = std::string(methodName) + " ";
  if (proxied) {
    line += absolute;
  } else {
    if (id != kMethodOther && path.find("://") == std::string::npos && path.compare(0, 1, "/") != 0) line += "/";
    line += path;
    if (!query.empty()) line += "?" + query;
  }
  if (haveData && !bodyMethod && id != kMethodPut) {
    line += query.empty() ? "?" : "&";
    line += body;
    body.clear();
  }
  if (s.versionMajor != 0)
    line += " HTTP/" + std::to_string(s.versionMajor) + "." + std::to_string(s.versionMinor);
  if (HasControl(line)) return Status(cvErrorDataNotEncoded);
  line += "\r\n";
  if (const Status kept = SetText(s, s.requestText, line.c_str(), line.size()); !kept.ok()) return kept;
  const bool sendsBody = bodyMethod && !body.empty();
  if (sendsBody) {
    if (const Status kept = SetText(s, s.requestBody, body.data(), body.size()); !kept.ok()) return kept;
  }

  s.responsePending = 1;
  ClearHeaders(s, s.responseHeaders);
  s.chunked = 0;
  if (s.versionMajor == 0) {
    WindowDetach detach(s);
    if (const Status sent = SendText(s, line); !sent.ok()) return sent;
    s.lineLength = 0;
    s.responsePending = 0;
    s.keepAlive = 0;
    s.statusCode = 200;
    s.requestOpen = 1;
    return 200;
  }

  // Default headers, for this operation only.
  const bool http11 = s.versionMajor > 1 || s.versionMinor >= 1;
  if (http11 || !IsDottedNumeric(s.host)) {
    std::string host = UrlHost(s.host);
    if (s.port != 80 && s.port != 443) host += ":" + std::to_string(s.port);
    SetOwnHeader(s, OwnHeader::Host, host.c_str(), true);
  }
  if (s.options & kOptKeepAlive) {
    if (!http11) SetOwnHeader(s, OwnHeader::Connection, "Keep-Alive");
    s.keepAlive = 1;
  } else {
    if (http11) SetOwnHeader(s, OwnHeader::Connection, "Close");
    s.keepAlive = 0;
  }
  if (id == kMethodGet || id == kMethodHead) {
    SetOwnHeader(s, OwnHeader::Accept, "*/*", true);
    if (s.options & kOptNoCache) {
      if (http11)
        SetOwnHeader(s, OwnHeader::CacheControl, "no-cache, no-store", true);
      else
        SetOwnHeader(s, OwnHeader::Pragma, "no-cache", true);
    }
  }
  if (sendsBody) {
    if (id == kMethodPost) {
      if (s.urlEncoding) SetOwnHeader(s, OwnHeader::ContentType, "application/x-www-form-urlencoded", true);
    } else if (id == kMethodPropfind || id == kMethodBpropfind) {
      SetOwnHeader(s, OwnHeader::ContentType, "text/xml", true);
      SetOwnHeader(s, OwnHeader::Depth, "0", true);
    }
    SetOwnHeader(s, OwnHeader::ContentLength, std::to_string(body.size()).c_str());
  }
  if (s.options & kOptNoUserAgent) {
    RemoveHeader(s, "User-Agent");
  } else {
    SetOwnHeader(s, OwnHeader::UserAgent, HttpGetUserAgent(), true);
  }
  // Proxy credentials go to the proxy only: with the request itself when the proxy
  // forwards it, never into a tunnel (there the CONNECT carried them).
  const bool toProxy = s.proxyType == kProxyCern || s.proxyType == kProxyOther ||
                       (s.proxyType == kProxyTunnel && !(s.options & kOptSecure));
  if (s.proxyAuthorization && toProxy) {
    const std::string value = "Basic " + Base64(std::string(s.proxyUser) + ":" + s.proxyPassword);
    SetOwnHeader(s, OwnHeader::ProxyAuthorization, value.c_str());
  } else {
    DropOwnHeader(s, OwnHeader::ProxyAuthorization);
  }
  if (s.authentication == 1 && (s.user[0] || s.password[0])) {
    const std::string value = "Basic " + Base64(std::string(s.user) + ":" + s.password);
    SetOwnHeader(s, OwnHeader::Authorization, value.c_str());
  }
  s.rangeRequested = FindHeader(s, s.requestHeaders, "Range") != nullptr;

  std::string head = line;
  {
    std::lock_guard lk(Library().lock());
    for (HttpHeaderNode* n = s.requestHeaders.first; n; n = n->next)
      if (n->name && n->value && *n->value) head += std::string(n->name) + ": " + n->value + "\r\n";
  }
  head += "\r\n";
  {
    WindowDetach detach(s);
    if (const Status sent = RawSend(s, head.data(), uint32_t(head.size())); !sent.ok()) return resend(sent);
  }
  // The length belongs to this request's body; sent with a later one it would hold that
  // request up waiting for a body that never comes.
  RemoveHeader(s, "Content-Length");

  if (sendsBody) {
    WindowDetach detach(s);
    if (s.expectContinue) {
      const uint32_t timeout = s.timeout;
      if (s.timeout == 0 || s.timeout > 5) s.timeout = 5;
      const Status interim = ReadResponse(s, true);
      if (!Gone(s)) s.timeout = timeout;
      // No interim answer in time: the body goes out anyway.
      if (!interim.ok() && interim.error() != cvErrorOperationTimeout) return interim;
      if (interim.ok() && s.statusCode >= 400) return Status(StatusToError(s.statusCode));
    }
    if (const Status sent = SendBody(s, body.data(), uint32_t(body.size())); !sent.ok()) return resend(sent);
  }
  if (!s.notify.socketWindow && !callerSendsBody && id != kMethodPut && s.responsePending) {
    if (const Status read = ReadResponse(s); !read.ok()) return resend(read);
  }
  if (Gone(s)) return kSessionGone;
  if (id != kMethodHead) s.requestOpen = 1;
  return s.statusCode;
}

}  // namespace

Result<int32_t> SendRequest(HttpClientSession& s, const char* method, const char* resource, const void* data,
                            uint32_t length, uint32_t flags) noexcept {
  return cvcore::OrOutOfMemory([&] { return SendRequestOrThrow(s, method, resource, data, length, flags); },
                               [](uint32_t error) { return Result<int32_t>(Status(error)); });
}

Result<int32_t> SendRequestDeferred(HttpClientSession& s, const char* method, const char* resource) noexcept {
  return SendRequest(s, method, resource, nullptr, 0, kCallerSendsBody);
}

namespace {

// Whether part of the response body is still unread on the connection.
bool BodyRemains(const HttpClientSession& s) {
  if (s.responsePending || s.serverClosed || s.header.controlSocket == INVALID_SOCKET) return false;
  if (s.chunked) return true;
  if (s.lengthKnown) return s.bytesCopied.load() < s.expectedLength.load();
  return s.statusCode != 0;  // up to the connection's end
}

// Reads and drops the rest of a body of known, short length; false when that fails (the
// caller then closes the connection: the failure is not the operation's).
bool DrainBody(HttpClientSession& s) {
  constexpr uint64_t kDrainLimit = 65536;
  if (!s.chunked && (!s.lengthKnown || s.expectedLength.load() - s.bytesCopied.load() > kDrainLimit)) return false;
  char scratch[kBlockSize];
  uint64_t drained = 0;
  for (;;) {
    const Result<uint32_t> n = ReadBody(s, scratch, sizeof scratch);
    if (!n.ok() || n.value() == 0 || Gone(s) || (drained += n.value()) > kDrainLimit) return n.ok() && n.value() == 0;
  }
}

}  // namespace

Status EndRequest(HttpClientSession& s) noexcept {
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);
  Status read;
  if (s.method == kMethodPut && s.responsePending) read = ReadResponse(s);
  if (Gone(s)) return kSessionGone;
  // An unread body would precede the next response on this connection: a short rest is
  // read and dropped, anything else closes the connection.
  if (read.ok() && s.requestOpen && BodyRemains(s) && !DrainBody(s)) DropConnection(s);
  s.requestOpen = 0;
  s.endTick.store(plat::GetTickCount());
  return read;
}

void AbortRequest(HttpClientSession& s) noexcept {
  if (Gone(s)) return;
  DropConnection(s);
  s.requestOpen = 0;
  s.endTick.store(plat::GetTickCount());
}

Answer ResultCode(HttpClientSession& s) noexcept {
  const Status read = s.responsePending ? ReadResponse(s) : Status();
  return {s.statusCode, read};
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpSendRequest(LibHandle handle, const char* method, const char* resource, const void* data,
                        uint32_t length, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  if (flags != 0 && flags != kRedirectFlag) return Finish(Status(cvErrorInvalidParameter), 0, -1);
  return FinishExchange(SendRequest(*op.session(), method, resource, data, length, flags), -1);
}

int32_t HttpEndRequest(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  HttpClientSession& s = *op.session();
  const bool reads = s.method == kMethodPut && s.responsePending;
  return FinishRead(reads, EndRequest(s), 0, -1);
}

int32_t HttpGetResultCode(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  const bool reads = op.session()->responsePending;
  // An error status is still the code asked for; its failure stays the last error.
  const Answer r = ResultCode(*op.session());
  return FinishRead(reads, r.status, r.value, r.value == 0 ? -1 : r.value);
}

int32_t HttpGetResultString(LibHandle handle, char* buffer) {
  Operation op(handle);
  if (!op) return 0;
  if (!buffer) return Finish(Status(cvErrorInvalidParameter), 0, 0);
  HttpClientSession& s = *op.session();
  buffer[0] = '\0';
  const bool reads = s.responsePending;
  const Status read = reads ? ReadResponse(s) : Status();
  if (Gone(s)) return FinishRead(reads, read, 0, 0);
  CopyField(*reinterpret_cast<char(*)[kHttpStatusTextSize]>(buffer), s.statusText);
  // The text of an error status is still handed out; the failure stays the last error.
  const int32_t n = int32_t(std::strlen(buffer));
  return FinishRead(reads, read, n, n);
}

int32_t HttpSetAuthentication(LibHandle handle, uint32_t type, const char* user, const char* password) {
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return -1;
  if (type > 1) return Finish(Status(cvErrorInvalidAuthenticationType), 0, -1);
  if (type == 0 || (Empty(user) && Empty(password))) {
    s->authentication = 0;
    explicit_bzero(s->user, sizeof s->user);
    explicit_bzero(s->password, sizeof s->password);
    RemoveHeader(*s, "Authorization");
    return 0;
  }
  s->authentication = 1;
  CopyField(s->user, user);
  CopyField(s->password, password);
  return 0;
}
