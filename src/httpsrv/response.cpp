// Responses: the status line and headers with their caching rules, the body from memory
// or a file, CGI output with its header lines, and the redirect, authentication and error
// pages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/url/url.h"
#include "http/http.h"
#include "httpsrv/httpsrv_internal.h"
#include "platform/base/tick.h"

namespace cvhttpsrv {
namespace {

struct StatusRow {
  uint32_t code;
  const char* text;
};
// A table laid out by hand.
// clang-format off
const StatusRow kStatus[] = {
    {1, "Unknown Error"}, {100, "Continue"}, {101, "Switching Protocols"}, {200, "OK"}, {201, "Created"},
    {202, "Accepted"}, {203, "Non-Authoritative Information"}, {204, "No Content"}, {206, "Partial Content"},
    {300, "Multiple Choices"}, {301, "Moved Permanently"}, {302, "Found"}, {303, "See Other"},
    {304, "Not Modified"}, {305, "Use Proxy"}, {307, "Temporary Redirect"}, {400, "Bad Request"},
    {401, "Not Authorized"}, {402, "Payment Required"}, {403, "Forbidden"}, {404, "Not Found"},
    {405, "Method Not Allowed"}, {406, "Not Acceptable"}, {407, "Proxy Authentication Required"},
    {408, "Request Timeout"}, {409, "Conflict"}, {410, "Gone"}, {411, "Length Required"},
    {412, "Precondition Failed"}, {413, "Requested Entity Too Large"}, {414, "Request URI Too Long"},
    {415, "Unsupported Media Type"}, {416, "Requested Range Not Satisfiable"}, {417, "Expectation Failed"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"},
    {503, "Service Unavailable"}, {504, "Gateway Timeout"}, {505, "HTTP Version Not Supported"},
};
// clang-format on

constexpr const char* kDocType =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">";
constexpr const char* kHtml = "<html xmlns=\"http://www.w3.org/1999/xhtml\">";

// The page frame; title and heading are escaped here, the paragraph by the caller (it
// may carry the page's own link).
std::string Page(uint32_t code, const std::string& title, const std::string& heading, const std::string& paragraph) {
  std::string page = std::string(kDocType) + "\r\n" + kHtml + "\r\n<head>\r\n";
  page += "<title>" + std::to_string(code) + " " + HtmlEscape(title) + "</title>\r\n";
  page += "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"/>\r\n</head>\r\n<body>\r\n";
  page += "<h2>" + HtmlEscape(heading) + "</h2>\r\n<p>" + paragraph + "</p>\r\n</body>\r\n</html>\r\n";
  return page;
}

bool Set(HttpSession& s, const char* name, const std::string& value) {
  uint32_t error = 0;
  return HeaderSet(s.response, name, value, &error);
}

// Bodies up to this size go out in the head's own send: one segment, nothing for the
// client's delayed acknowledgement to hold up.
constexpr size_t kInlineBody = 64 * 1024;

// Reads exactly length bytes of fd onto out; false when the file ends early.
bool AppendFile(int fd, size_t length, std::string& out) {
  const size_t start = out.size();
  out.resize(start + length);
  size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, out.data() + start + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

struct FileCloser {
  int fd = -1;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// CGI output: header lines up to the first empty line when the first line holds a ':'.
size_t ParseCgiHeaders(HttpSession& s, const char* data, size_t length) {
  const char* lf = static_cast<const char*>(std::memchr(data, '\n', length));
  const size_t firstEnd = lf ? size_t(lf - data) : length;
  if (!std::memchr(data, ':', firstEnd)) return 0;
  size_t pos = 0;
  while (pos < length) {
    const char* end = static_cast<const char*>(std::memchr(data + pos, '\n', length - pos));
    const size_t lineEnd = end ? size_t(end - data) : length;
    std::string line(data + pos, std::min<size_t>(lineEnd - pos, 2047));
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    pos = end ? lineEnd + 1 : length;
    if (line.empty()) break;
    uint32_t error = 0;
    HeaderParseLine(s.response, line, &error);
  }
  if (const char* status = HeaderFind(s.response, "Status")) {
    const std::string text = Trim(status);
    char* rest = nullptr;
    const unsigned long code = std::strtoul(text.c_str(), &rest, 10);
    if (code < 100 || code > 999) {
      s.status = 500;
      s.statusText = "Invalid Status Code";
    } else {
      s.status = uint32_t(code);
      const std::string reason = Trim(rest ? rest : "");
      const char* table = HttpStatusText(s.status);
      s.statusText = !reason.empty() ? reason : table ? table : "Unknown Status";
    }
    Set(s, "Status", "");
  }
  return pos;
}

}  // namespace

bool Disconnect(const Client& c) { return InetDisconnect(c.session->controlSocket) == 0; }

void CloseUnlessKeepAlive(const Client& c) {
  if (!c.session->keepAlive) Disconnect(c);
}

bool SendError(const Client& c, uint32_t status, const char* message) {
  return HttpSendError(c.server->serverHandle.load(), c.session->clientId, status, message) == 1;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

const char* HttpStatusText(uint32_t code) {
  for (const StatusRow& row : kStatus)
    if (row.code == code) return row.text;
  return nullptr;
}

int32_t HttpSendResponse(uint64_t server, uint32_t clientId, uint32_t options, const HttpResponseInfo* info,
                         const void* data, int64_t length) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  HttpResponseInfo defaults{sizeof(HttpResponseInfo), 0, 0, 0, 0, 200, nullptr, nullptr};
  if (!info) info = &defaults;
  if (info->size != sizeof(HttpResponseInfo)) return Fail(server, cvErrorInvalidParameter);
  if (s.answered) return Fail(server, cvErrorCommandCompleted);
  const uint32_t start = plat::GetTickCount();

  uint32_t kind = options & 0xF;
  if (kind == 0) kind = httpSendBuffer;
  if (options & httpSendCgiOutput) {
    if (kind & httpSendFile) return Fail(server, cvErrorInternalFailure);
    options |= httpSendUntilClose;
  }
  const char* body = nullptr;
  size_t bodyLength = 0;
  std::string filePath;
  plat::HGLOBAL block = nullptr;
  if (kind & httpSendFile) {
    filePath = data ? Canonical(static_cast<const char*>(data)) : std::string();
    if (filePath.empty()) return Fail(server, cvErrorInvalidFileName);
    const char* declared = HeaderFind(s.response, "Content-Length");
    if (length == -1 && declared) {
      bodyLength = size_t(std::strtoull(declared, nullptr, 10));
    } else {
      uint32_t error = 0;
      uint64_t size = 0;
      if (!FileInfo(filePath, nullptr, nullptr, &size, &error)) return Fail(server, error);
      bodyLength = size_t(size);
    }
  } else if (kind & httpSendMemory) {
    block = static_cast<plat::HGLOBAL>(const_cast<void*>(data));
    body = block ? static_cast<const char*>(plat::GlobalLock(block)) : nullptr;
    if (block && !body) return Fail(server, cvErrorInternalFailure);
    bodyLength = block ? std::min<size_t>(plat::GlobalSize(block), size_t(std::max<int64_t>(length, 0))) : 0;
  } else if (kind & httpSendText) {
    body = static_cast<const char*>(data);
    bodyLength = body ? ::strnlen(body, size_t(std::max<int64_t>(length, 0))) : 0;
  } else {
    body = static_cast<const char*>(data);
    bodyLength = body ? size_t(std::max<int64_t>(length, 0)) : 0;
  }
  struct Unlock {
    plat::HGLOBAL b;
    ~Unlock() {
      if (b) plat::GlobalUnlock(b);
    }
  } unlock{block};

  uint32_t version = info->version ? info->version : s.version;
  if (s.version == kVersion09) version = kVersion09;
  else if (version == kVersion09) version = kVersion10;
  if (info->statusCode < 100 || info->statusCode > 999) return Fail(server, cvErrorInvalidResultCode);
  s.status = info->statusCode;
  const char* table = HttpStatusText(s.status);
  s.statusText = info->statusText ? info->statusText : table ? table : "Unknown Status";
  s.statusText.resize(std::min<size_t>(s.statusText.size(), 2047));

  uint32_t lifetime = (options & httpSendNoCache) ? 0 : info->cacheLifetime ? info->cacheLifetime : r.cacheLifetime;
  if (lifetime) lifetime = std::clamp<uint32_t>(lifetime, 60, 86400);
  if (options & httpSendNoKeepAlive) s.keepAlive = false, lifetime = 0;
  std::string contentType = info->contentType ? info->contentType : "";
  if (options & httpSendListing) contentType = "text/html", lifetime = 0, options |= httpSendUntilClose;

  if (options & httpSendCgiOutput && body) {
    const size_t skip = ParseCgiHeaders(s, body, bodyLength);
    body += skip;
    bodyLength -= skip;
  }
  char date[128];
  HttpFormatDate(date);
  Set(s, "Date", date);
  Set(s, "Server", r.identity);
  if (!contentType.empty()) {
    Set(s, "Content-Type", contentType);
  } else if (!HeaderFind(s.response, "Content-Type")) {
    char type[128] = {};
    if (!filePath.empty() && HttpGetContentType(filePath.c_str(), type) > 0 && type[0]) Set(s, "Content-Type", type);
    else Set(s, "Content-Type", "text/plain");
  }
  if (options & httpSendUntilClose) {
    s.keepAlive = false;
    Set(s, "ETag", "");
    Set(s, "Content-Length", "");
    Set(s, "Last-Modified", "");
  } else {
    Set(s, "Content-Length", std::to_string(bodyLength));
  }
  Set(s, "Connection", s.keepAlive ? "keep-alive" : s.version == kVersion11 ? "close" : "");
  if (s.methodId == kHead) {
    Set(s, "Cache-Control", "");
    Set(s, "Pragma", "");
  } else if (lifetime == 0 || (options & httpSendCgiOutput)) {
    if (version == kVersion11) {
      Set(s, "Cache-Control", "private, no-cache, proxy-revalidate");
      Set(s, "Pragma", "no-cache");
    }
    Set(s, "Expires", "");
  } else {
    char expires[128];
    HttpFormatExpiry(lifetime, expires);
    Set(s, "Expires", expires);
    if (version == kVersion11) Set(s, "Cache-Control", "max-age=" + std::to_string(lifetime) + ", proxy-revalidate");
  }

  std::string head;
  if (version != kVersion09) {
    head = "HTTP/1." + std::string(version == kVersion11 ? "1" : "0") + " " + std::to_string(s.status) + " " +
           s.statusText + "\r\n";
    for (const HttpHeaderEntry& h : s.response.entries) {
      if (!h.name[0] || !h.value[0]) continue;
      // A line break inside a value would start a header (or a body) of its own.
      std::string value = h.value;
      for (char& ch : value)
        if (ch == '\r' || ch == '\n') ch = ' ';
      head += std::string(h.name) + ": " + value + "\r\n";
    }
    head += "\r\n";
  }
  const bool sendBody = s.methodId != kHead && bodyLength > 0;
  FileCloser file;
  if (sendBody && !filePath.empty()) {
    file.fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return Fail(server, cvErrorAccessDenied);
  }
  const bool inlined = sendBody && bodyLength <= kInlineBody;
  const size_t headLength = head.size();
  if (inlined) {
    if (file.fd < 0) head.append(body, bodyLength);
    else if (!AppendFile(file.fd, bodyLength, head)) return Fail(server, cvErrorFileReadFailed);
  }
  // While the body goes out the session is busy: the idle check leaves it alone.
  if (sendBody) SetState(s, SessionState::SendingBody);
  struct Idle {
    HttpSession* s;
    ~Idle() {
      if (s) SetState(*s, SessionState::Idle);
    }
  } idle{sendBody ? &s : nullptr};
  if (!head.empty() && !InetWriteAll(s.controlSocket, head.data(), head.size(), sendBody && !inlined))
    return Fail(server, InetGetLastError());
  s.bytesSent += headLength;
  s.answered = true;
  if (sendBody) {
    const bool sent = inlined || (file.fd >= 0 ? InetWriteFile(s.controlSocket, file.fd, bodyLength)
                                               : InetWriteAll(s.controlSocket, body, bodyLength, false));
    if (!sent) return Fail(server, InetGetLastError());
    s.bytesSent += bodyLength;
  }
  s.lastActivity = Now();
  s.milliseconds += plat::GetTickCount() - start;
  InetSetLastError(0);
  return 1;
}

int32_t HttpRedirectRequest(uint64_t server, uint32_t clientId, uint32_t kind, const char* location) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (kind < 1 || kind > 3 || !location) return Fail(server, cvErrorInvalidParameter);
  if (s.version == kVersion09) return Fail(server, cvErrorOperationNotSupported);
  const bool v11 = s.version == kVersion11;
  const uint32_t code = kind == 1 ? 301 : kind == 2 ? (v11 ? 307 : 302) : (v11 ? 303 : 302);
  std::string target = location;
  if (!target.empty() && target[0] == '/') {
    std::string path = target, query;
    const size_t q = path.find('?');
    if (q != std::string::npos) query = path.substr(q + 1), path.resize(q);
    HttpUrl url{};
    url.scheme = s.secure ? 2 : 1;
    url.port = s.port;
    url.host = s.hostName.data();
    url.path = path.data();
    url.query = query.empty() ? nullptr : query.data();
    char composed[1024];
    if (HttpServerComposeUrl(&url, composed) <= 0) return Fail(server, cvErrorInvalidParameter);
    target = composed;
  } else if (HttpGetUrlScheme(location) == 0) {
    return Fail(server, cvErrorInvalidParameter);
  }
  Set(s, "Location", target);
  const char* text = HttpStatusText(code);
  const std::string page =
      Page(code, text, text, "The document has moved <a href=\"" + HtmlEscape(target) + "\">here</a>.");
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, code, nullptr, "text/html"};
  if (!HttpSendResponse(server, clientId, httpSendText | httpSendNoCache, &info, page.c_str(),
                        int64_t(page.size())))
    return 0;
  CloseUnlessKeepAlive(c);
  return 1;
}

int32_t HttpRequireAuthentication(uint64_t server, uint32_t clientId, uint32_t type, const char* realm) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (type != 1) return Fail(server, cvErrorInvalidAuthenticationType);
  if (s.version == kVersion09) return Fail(server, cvErrorOperationNotSupported);
  std::string name = realm ? realm : "";
  if (name.empty() || name.size() > 64) name = s.hostName;
  // The realm is a quoted string: its quotes and backslashes are escaped.
  std::string quoted;
  for (char ch : name) {
    if (ch == '"' || ch == '\\') quoted += '\\';
    quoted += ch;
  }
  Set(s, "WWW-Authenticate", "Basic realm=\"" + quoted + "\"");
  const std::string page =
      Page(401, "Not Authorized", "Not Authorized",
           "This server could not verify that you are authorized to access the document requested.");
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, 401, nullptr, "text/html"};
  if (!HttpSendResponse(server, clientId, httpSendText | httpSendNoCache, &info, page.c_str(),
                        int64_t(page.size())))
    return 0;
  CloseUnlessKeepAlive(c);
  return 1;
}

int32_t HttpSendError(uint64_t server, uint32_t clientId, uint32_t status, const char* message) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (s.answered) return 0;
  const char* table = HttpStatusText(status);
  const std::string text = table ? table : "Unknown Status";
  std::string paragraph = message ? message : "";
  paragraph.erase(0, paragraph.find_first_not_of(' ') == std::string::npos ? paragraph.size()
                                                                             : paragraph.find_first_not_of(' '));
  if (paragraph.empty()) paragraph = "The requested document is not available";
  std::string page = Page(status, text, text, "");
  paragraph = HtmlEscape(paragraph);
  if (page.size() + paragraph.size() > 2048) {
    paragraph.resize(2048 - std::min<size_t>(page.size(), 2048));
    // Never leave half an entity at the cut.
    const size_t amp = paragraph.find_last_of('&');
    if (amp != std::string::npos && paragraph.find(';', amp) == std::string::npos) paragraph.resize(amp);
  }
  page = Page(status, text, text, paragraph);
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, status, nullptr, "text/html"};
  const int32_t sent = HttpSendResponse(server, clientId, httpSendText | httpSendNoCache | httpSendNoKeepAlive, &info,
                                        page.c_str(), int64_t(page.size()));
  Disconnect(c);
  return sent;
}
