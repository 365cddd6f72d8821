// Request parsing and method dispatch: the request line's tokens, the header lines, the
// Host and Authorization values, the method table and the session accessors.
#include <cctype>
#include <cstring>

#include "core/url/url.h"
#include "httpsrv/httpsrv_internal.h"
#include "httpsrv/request_reader.h"
#include "platform/base/tick.h"
#include "sockets/server/server_pauses.h"

namespace cvhttpsrv {
namespace {

struct MethodRow {
  const char* name;
  uint32_t id, logLevel, flags;
  Handler handler;
};

const MethodRow kMethods[] = {
    {"GET", kGet, 1, kMethodRequired, HandleGet},
    {"HEAD", kHead, 1, kMethodRequired, HandleGet},
    {"POST", kPost, 1, kMethodBody | kMethodRequired, HandleGet},
    {"PUT", kPut, 1, kMethodChangesFiles, HandlePut},
    {"OPTIONS", kOptions, 5, kMethodDisabled, HandleOptions},
    {"TRACE", kTrace, 8, kMethodDisabled, HandleTrace},
    {"DELETE", kDelete, 5, kMethodChangesFiles, HandleDelete},
    {"COPY", kCopy, 5, kMethodChangesFiles, HandleCopyMove},
    {"MOVE", kMove, 5, kMethodChangesFiles, HandleCopyMove},
    {"MKCOL", kMkcol, 5, kMethodChangesFiles, HandleMkcol},
    {"PROPFIND", kPropfind, 8, kMethodBody | kMethodChangesFiles, nullptr},
    {"PROPPATCH", kProppatch, 8, kMethodBody | kMethodChangesFiles, nullptr},
    {"LOCK", kLock, 8, kMethodBody | kMethodChangesFiles, nullptr},
    {"UNLOCK", kUnlock, 8, kMethodBody | kMethodChangesFiles, nullptr},
    {"SEARCH", kSearch, 8, kMethodBody | kMethodChangesFiles, nullptr},
    {"CONNECT", kConnect, 8, kMethodBody, nullptr},
};
constexpr size_t kMethodCount = sizeof kMethods / sizeof kMethods[0];

// Separators are control bytes, blank and every byte from 0x80 up; quotes group.
std::vector<std::string> Tokenise(const char* line) {
  std::vector<std::string> tokens;
  std::string current;
  bool inToken = false;
  char quote = 0;
  for (size_t i = 0; line[i] && i < kLineSize; ++i) {
    const signed char ch = static_cast<signed char>(line[i]);
    if (quote) {
      if (ch == quote) quote = 0;
      else if (ch == '"' || ch == '\'') quote = char(ch);
      current += ch < 0x21 ? ' ' : char(ch);
      continue;
    }
    if (ch < 0x21) {
      if (inToken) tokens.push_back(std::move(current)), current.clear(), inToken = false;
      continue;
    }
    if (ch == '"' || ch == '\'') quote = char(ch);
    current += char(ch);
    inToken = true;
  }
  if (inToken) tokens.push_back(std::move(current));
  return tokens;
}

void ResetRequest(HttpServerRecord& r, HttpSession& s) {
  SetState(s, SessionState::Idle);
  s.methodId = kMethodUnknown;
  s.methodLogLevel = 255;
  s.tokens.clear();
  s.method.clear();
  s.uri.clear();
  s.query.clear();
  s.pathInfo.clear();
  s.hasQuery = s.hasPathInfo = false;
  s.hostName = r.hostName;
  s.port = r.port;
  s.hostId = 0;
  if (VirtualHost* h = HostOf(r, 0)) s.root = h->root;
  s.version = 0;
  s.userName.clear();
  s.password.clear();
  s.bytesReceived = s.bytesSent = 0;
  s.milliseconds = 0;
  s.pathAccess = r.pathAccess;
  s.credentialsPresent = s.authenticated = false;
  s.keepAlive = false;
  s.bodyRead = s.answered = s.bodyUnread = false;
  s.status = 0;
  s.statusText.clear();
  s.localPath.clear();
  s.localBase.clear();
  s.localMapped = false;
  s.script = nullptr;
  s.programPath.clear();
  s.scriptPath.clear();
  s.scriptBase.clear();
  s.path.clear();
  s.pathInfoPath.clear();
  s.authFailed = false;
  s.clientAccess = r.clientAccess;
  ClearHeaders(s.request);
  ClearResponseHeaders(s.response);
}

void CountBadRequest(HttpSession& s, bool clearKeepAlive) {
  if (s.badRequests++ > 4) {
    cvsock::ServerPause(1500);
    if (clearKeepAlive) s.keepAlive = false;
  }
}

// Reads the header lines into the request's table; the reader's verdict on the head (Done
// when it was read whole), with the error of a receive that failed.
RequestHeadReader::Verdict ReadHeaders(const Client& c, uint32_t* error) {
  HttpSession& s = *c.session;
  RequestHeadReader reader(s.request);
  std::vector<char> line(reader.HeaderLineRoom());
  for (;;) {
    uint32_t size = uint32_t(line.size());
    if (!InetReadLineExact(s.controlSocket, line.data(), &size)) {
      *error = InetGetLastError();
      return RequestHeadReader::Verdict::Unstorable;
    }
    const RequestHeadReader::Verdict verdict = reader.HeaderLine(std::string_view(line.data(), size));
    if (verdict != RequestHeadReader::Verdict::More) {
      *error = cvErrorInvalidRequestHeader;
      return verdict;
    }
  }
}

// host[:port] with a name of letters, digits, '-', '_' and '.', or an IPv6 literal in
// brackets: anything else would be reflected into pages, redirects and CGI variables.
bool ValidHostValue(const std::string& value) {
  std::string host = value, port;
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos || close == 1) return false;
    if (host.find_first_not_of("0123456789abcdefABCDEF:.", 1) != close) return false;
    port = host.substr(close + 1);
    if (!port.empty() && port[0] != ':') return false;
    if (!port.empty()) port.erase(0, 1);
    host = host.substr(1, close - 1);
  } else {
    const size_t colon = host.find(':');
    if (colon != std::string::npos) port = host.substr(colon + 1), host.resize(colon);
    if (host.empty() || host.size() > 255) return false;
    for (char ch : host)
      if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '.' && ch != '_') return false;
    if (colon != std::string::npos && port.empty()) return false;
  }
  return port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
         (port.empty() || std::stoul(port) <= 65535);
}

// False when the Host value is not a host name with an optional port.
bool ParseHost(const Client& c) {
  HttpSession& s = *c.session;
  const char* value = HeaderFind(s.request, "Host");
  if (!value) return true;
  std::string host = value;
  if (!ValidHostValue(host)) return false;
  if (host[0] == '[') host = host.substr(1, host.find(']') - 1);
  else host = host.substr(0, host.find(':'));
  s.hostName = host;
  s.hostId = HostIdForName(*c.server, host);
  if (VirtualHost* h = HostOf(*c.server, s.hostId)) s.root = h->root;
  return true;
}

void ParseCredentials(HttpSession& s) {
  const std::string value = RequestHeader(s, "Authorization");
  if (!IStartsWith(value, "Basic")) return;
  const std::string encoded = Trim(value.substr(5));
  if (encoded.size() > 128 || encoded.empty()) return;
  char decoded[129] = {};
  const int32_t n = HttpDecodeText(1, encoded.c_str(), int32_t(encoded.size()), decoded, 128);
  if (n <= 0) return;
  const std::string text(decoded, size_t(n));
  const size_t colon = text.find(':');
  s.userName = text.substr(0, std::min<size_t>(colon, 63));
  s.password = colon == std::string::npos ? std::string() : text.substr(colon + 1, 63);
  s.credentialsPresent = true;
}

// The URI split into path and query, an absolute URL reduced to them; the status to
// answer with, 0 when it is good.
uint32_t ParseUri(const Client& c) {
  HttpSession& s = *c.session;
  std::string uri = s.tokens[1];
  if (uri.size() >= kLineSize) return 414;
  if (HttpGetUrlScheme(uri.c_str()) == 0 || uri[0] == '/') {
    const size_t q = uri.find('?');
    if (q != std::string::npos) s.query = uri.substr(q + 1), s.hasQuery = true, uri.resize(q);
    s.uri = uri;
    return 0;
  }
  HttpUrl* url = nullptr;
  if (HttpParseUrl(uri.c_str(), 0, &url) != 1 || !url) return 400;
  std::unique_ptr<HttpUrl, void (*)(void*)> owner(url, UrlFree);
  const std::string path = url->path ? url->path : "/";
  if (path.size() > kRequestLimits.absolutePath) return 414;
  if (!url->host || url->port != s.port || HostIdForName(*c.server, url->host) != s.hostId) return 400;
  s.uri = path;
  if (url->query) s.query = url->query, s.hasQuery = true;
  return 0;
}

// Percent-encodes a decoded path for display where it must stand for itself.
std::string EncodePathText(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : path) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (u <= 0x20 || u >= 0x7F || std::strchr("%?#\"<>\\^`{|}", ch)) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

// Decodes and normalises the URI's path once; false for a path that cannot stand (a bad
// escape or an encoded zero byte). When the URI as sent does not name the same segments
// as that path (dot segments, doubled or encoded separators), the URI is replaced by the
// normal form, so cutting one cuts the other at the same place.
bool CanonicalizePath(HttpSession& s) {
  if (s.uri.empty() || (s.uri[0] != '/' && s.uri[0] != '\\')) {
    std::string unused;  // maps to nothing; only its escapes are checked
    return DecodeRequestPath(s.uri, unused);
  }
  if (!DecodeRequestPath(s.uri, s.path)) return false;
  std::string sameSegments;
  for (size_t i = 0; i < s.uri.size(); ++i) {
    char ch = s.uri[i];
    if (ch == '%') {
      ch = char(std::stoi(s.uri.substr(i + 1, 2), nullptr, 16));
      i += 2;
      if (ch == '/' || ch == '\\') ch = '\1';
    } else if (ch == '\\') {
      ch = '\1';
    }
    sameSegments += ch;
  }
  if (sameSegments != s.path) s.uri = EncodePathText(s.path);
  return true;
}

}  // namespace

void CopyMethods(HttpServerRecord& r) {
  r.methods.reset(new MethodEntry[kMethodCount + 1]);
  for (size_t i = 0; i < kMethodCount; ++i) {
    MethodEntry& e = r.methods[i];
    e.name = kMethods[i].name;
    e.id = kMethods[i].id;
    e.logLevel = kMethods[i].logLevel;
    e.flags = kMethods[i].flags;
    e.handler = kMethods[i].handler;
  }
  r.methods[kMethodCount].name = nullptr;
}

MethodEntry* FindMethod(HttpServerRecord& r, const std::string& name) {
  if (!r.methods) return nullptr;
  for (MethodEntry* e = r.methods.get(); e->name; ++e)
    if (IEquals(e->name, name)) return e;
  return nullptr;
}

std::string RequestLine(const HttpSession& s) {
  if (s.tokens.empty()) return std::string();
  std::string line = s.method + " " + s.uri;
  if (s.hasPathInfo) line += "/" + s.pathInfo;
  if (s.hasQuery) line += "?" + s.query;
  if (s.version != kVersion09 && s.version != 0) line += s.version == kVersion11 ? " HTTP/1.1" : " HTTP/1.0";
  return line;
}

void RefuseRequestLine(const Client& c, uint32_t status) {
  ResetRequest(*c.server, *c.session);
  Lib().SetLastError(c.server->serverHandle.load(), cvErrorInvalidRequestHeader);
  InetDiscardInput(c.session->controlSocket);
  SendError(c, status);
}

std::string RequestUrl(const HttpSession& s) {
  std::string url = s.secure ? "https://" : "http://";
  url += s.hostName.find(':') != std::string::npos ? "[" + s.hostName + "]" : s.hostName;
  if (s.port != (s.secure ? 443u : 80u)) url += ":" + std::to_string(s.port);
  url += s.uri;
  if (s.hasPathInfo) url += "/" + s.pathInfo;
  if (s.hasQuery) url += "?" + s.query;
  return url;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpProcessRequest(uint64_t server, uint32_t clientId, const char* line) {
  if (!line || std::strlen(line) >= kLineSize) return 0;
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  ResetRequest(r, s);

  s.tokens = Tokenise(line);
  if (s.tokens.size() > 256) {
    s.tokens.resize(2);
    s.method = ToUpper(s.tokens[0]);
    return SendError(c, 501), 0;
  }
  if (s.tokens.empty()) {
    CountBadRequest(s, true);
    return SendError(c, 400), 0;
  }
  if (s.tokens.size() >= 2) {
    const std::string& last = s.tokens.back();
    if (IEquals(last, "HTTP/1.0")) s.version = kVersion10;
    else if (IEquals(last, "HTTP/1.1") || IStartsWith(last, "HTTP/")) s.version = kVersion11;
    if (s.version) s.tokens.pop_back();
  }
  if (!s.version) s.version = kVersion09;
  if (s.version == kVersion09) InetSetDeadline(s.controlSocket, 0);
  s.method = ToUpper(s.tokens[0]);
  if (s.tokens.size() >= 2) s.uri = s.tokens[1];

  if (s.version != kVersion09) {
    uint32_t error = 0;
    const RequestHeadReader::Verdict head = ReadHeaders(c, &error);
    InetSetDeadline(s.controlSocket, 0);  // the body and the answer have their own time-outs
    if (head == RequestHeadReader::Verdict::Unstorable) {
      Lib().SetLastError(server, error);
      Notify(c, httpEventCommand, error);
      InetDisconnect(s.controlSocket);
      return 0;
    }
    if (head == RequestHeadReader::Verdict::HeadTooLarge) {
      // The rest of the head is dropped first: unread input would reset the connection
      // and take the answer with it.
      Lib().SetLastError(server, error);
      InetDiscardInput(s.controlSocket);
      return SendError(c, RequestHeadReader::Status(head)), 0;
    }
    if (head != RequestHeadReader::Verdict::Done || !ParseHost(c)) return SendError(c, 400), 0;
    if (s.version == kVersion11 && IEquals(RequestHeader(s, "Connection"), "keep-alive")) s.keepAlive = true;
    if (s.version == kVersion11 && !HeaderFind(s.request, "Host")) return SendError(c, 400), 0;
    ParseCredentials(s);
  }
  MethodEntry* method = FindMethod(r, s.method);
  if (method) s.methodId = method->id, s.methodLogLevel = method->logLevel;
  if (s.tokens.size() != 2) {
    CountBadRequest(s, true);
    return SendError(c, 400), 0;
  }
  if (const uint32_t status = ParseUri(c)) return SendError(c, status), 0;
  if (!CanonicalizePath(s)) return SendError(c, 400), 0;

  s.lastActivity = Now();
  if (++s.requestCount >= r.maxRequests) s.keepAlive = false;
  cvsock::ServerPause(10);

  if (s.credentialsPresent) {
    Notify(c, httpEventAuthenticate);
    // The pause for refused credentials is paid where the path asks for them (the
    // handlers' protected-path check), not by every request that happened to carry them.
    if (!s.authenticated && !HttpServerCheckUser(server, clientId)) {
      s.keepAlive = false;
      s.authFailed = true;
    }
  }
  Notify(c, httpEventCommand);
  if (s.answered) return 1;

  if (s.version != kVersion09 || s.methodId == kGet) {
    if (method && method->handler) {
      if (method->flags.load() & kMethodDisabled) return SendError(c, 405), 0;
      s.badRequests = 0;
      method->useCount.fetch_add(1);
      method->handler(server, clientId, method->flags.load());
      return 1;
    }
    CountBadRequest(s, false);
    return SendError(c, 501), 0;
  }
  return SendError(c, 400), 0;
}

int32_t HttpServerGetMethodId(uint64_t server, const char* name, int32_t* id) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  MethodEntry* e = name ? FindMethod(*r, name) : nullptr;
  if (!e) return Fail(server, cvErrorInvalidCommand);
  if (id) *id = int32_t(e->id);
  return 1;
}

void HttpServerCopyMethods(uint64_t server) {
  if (RecordPtr r = Lib().FindServer(server)) CopyMethods(*r);
}

int32_t HttpServerDisableMethod(uint64_t server, const char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  MethodEntry* e = name && *name ? FindMethod(*r, name) : nullptr;
  if (!e) return Fail(server, cvErrorInvalidCommand);
  if (!e->handler) return 1;
  if (e->flags.load() & kMethodRequired) return Fail(server, cvErrorCommandRequired);
  e->flags.fetch_or(kMethodDisabled);
  return 1;
}

int32_t HttpServerEnableMethod(uint64_t server, const char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  MethodEntry* e = name && *name ? FindMethod(*r, name) : nullptr;
  if (!e) return Fail(server, cvErrorInvalidCommand);
  e->flags.fetch_and(~kMethodDisabled);
  return 1;
}

int32_t HttpServerIsMethodEnabled(uint64_t server, const char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  MethodEntry* e = name && *name ? FindMethod(*r, name) : nullptr;
  if (!e) return Fail(server, cvErrorInvalidCommand);
  if (!e->handler) return Fail(server, cvErrorCommandNotImplemented);
  if (e->flags.load() & kMethodDisabled) return Fail(server, cvErrorCommandDisabled);
  return 1;
}

int32_t HttpSessionIsKeepAlive(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  return c && c.session->keepAlive ? 1 : 0;
}

int32_t HttpSessionGetAddress(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter);
  std::memcpy(buffer, c.session->peerText, sizeof c.session->peerText);
  return int32_t(std::strlen(buffer));
}

namespace {
int32_t CopyOut(uint64_t server, const std::string& text, char* buffer, uint32_t size) {
  if (!buffer) return int32_t(text.size());
  if (size <= text.size()) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return int32_t(text.size());
}
}  // namespace

int32_t HttpSessionGetRequestLine(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  return c ? CopyOut(server, RequestLine(*c.session), buffer, size) : 0;
}

int32_t HttpSessionGetMethodId(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  return c ? int32_t(c.session->methodId) : 0;
}

int32_t HttpSessionGetRequestUrl(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (c.session->tokens.empty()) return Fail(server, cvErrorRequestNotCompleted);
  return CopyOut(server, RequestUrl(*c.session), buffer, 1024);
}

int32_t HttpSessionGetResource(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (c.session->tokens.empty()) return Fail(server, cvErrorRequestNotCompleted);
  std::string text = c.session->uri;
  if (c.session->hasPathInfo) text += "/" + c.session->pathInfo;
  return CopyOut(server, text, buffer, size);
}

int32_t HttpSessionGetQuery(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (c.session->tokens.empty()) return Fail(server, cvErrorRequestNotCompleted);
  return CopyOut(server, c.session->query, buffer, size);
}

int32_t HttpSessionGetStatus(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  return c ? int32_t(c.session->status) : 0;
}

int32_t HttpSessionGetHostName(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (c.session->tokens.empty()) return Fail(server, cvErrorVirtualHostNotFound);
  return CopyOut(server, c.session->hostName, buffer, 256);
}
