// Opening a session (direct, over TLS, through a proxy or a CONNECT tunnel), opening its
// connection again, following a redirect, and closing it.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "core/tls/sec_tls.h"
#include "core/url/sock_address.h"
#include "core/url/url.h"
#include "http/http_internal.h"
#include "platform/base/last_error.h"
#include "platform/msg/window.h"
#include "platform/net/wsa_errors.h"

namespace cvhttp {

namespace {

// A host argument (name, literal or URL) normalised into out; a URL's scheme adjusts the
// options and, when *port is 0, its port is taken.
bool TakeHost(const char* text, char (&out)[kHttpHostNameSize], uint32_t& options, uint32_t& port) {
  if (Empty(text)) return false;
  std::string host = text;
  if (HttpGetUrlScheme(text) != 0) {
    HttpUrl* url = nullptr;
    if (!HttpParseUrl(text, kHttpUrlNormalize, &url)) return false;
    host = url->host ? url->host : "";
    if (port == 0) port = url->port;
    if (url->scheme == 2) options |= kOptSecure;
    UrlFree(url);
  }
  return !host.empty() && SockNormalizeHostName(host.c_str(), out) != nullptr;
}

// The session's own credentials record for TLS (a zeroed one when none is given).
Status PrepareTls(HttpClientSession& s, const SecCredentials* credentials) {
  SecCredentials record{};
  if (credentials) record = *credentials;
  if (!credentials) record.headSize = sizeof(SecCredentials);
  if (record.protocolMask == 0) record.protocolMask = kDefaultTlsMask;
  s.tlsProtocolMask = record.protocolMask;
  SecFreeCredentials(&s.credentials);
  s.credentials = SecCopyCredentials(&record);
  if (!s.credentials) return PlatformError();
  return {};
}

// The system's proxy for a target: first automatic configuration and the current user's
// settings, then the machine's. 1 found, 0 none, -1 when a lookup failed and none was found.
int32_t SystemProxy(const char* host, bool secure, HttpProxyInfo& info) {
  const uint32_t port = secure ? 443 : 80;
  // Where no proxy is found the connection is direct: why none was found does not matter.
  const int32_t user = WindowsProxy(host, port, kHttpProxyAutomatic, &info).value;
  if (user == 1) return 1;
  const int32_t machine = WindowsProxy(host, port, kHttpProxyMachine, &info).value;
  if (machine == 1) return 1;
  return user == -1 || machine == -1 ? -1 : 0;
}

bool SecureTarget(uint32_t options, uint32_t port) {
  return (options & kOptSecure) || (port == 443 && !(options & kOptNoPortTls));
}

// Ends a failed connect: the session goes, the failure stays.
Status Abandon(HttpClientSession& s, Status failure) {
  ReleaseOrDefer(s.header.handle);
  return failure;
}

}  // namespace

// The tunnel through the proxy, then TLS through it, on a fresh connection.
Status TunnelThenTls(HttpClientSession& s) noexcept {
  const HWND window = s.notify.socketWindow;
  const UINT message = s.notify.socketMessage;
  DetachWindow(s);
  s.options &= ~kOptSecure;
  const Status opened = OpenTunnel(s);
  s.options |= kOptSecure;
  if (!opened.ok()) return opened;
  AttachWindow(s, window, message);
  return {};
}

Status OpenTunnel(HttpClientSession& s) noexcept {
  const std::string host = SockAddressFamily(s.host) == 23 ? "[" + std::string(s.host) + "]" : std::string(s.host);
  const std::string target = host + ":" + std::to_string(s.port);
  // Host names the target again: HTTP/1.1 asks it of every request, CONNECT included.
  std::string request = "CONNECT " + target + " HTTP/" + std::to_string(s.versionMajor) + "." +
                        std::to_string(s.versionMinor) + "\r\nHost: " + target + "\r\n";
  if (s.proxyUser[0] && s.proxyPassword[0])
    request += "Proxy-Authorization: Basic " + Base64(std::string(s.proxyUser) + ":" + s.proxyPassword) + "\r\n";
  request += "\r\n";
  const uint32_t method = s.method;
  s.method = kMethodHead;  // a tunnel's answer has no body to read
  s.responsePending = 1;
  ClearHeaders(s, s.responseHeaders);
  Status answered = RawSend(s, request.data(), uint32_t(request.size()));
  if (answered.ok()) answered = ReadResponse(s);
  s.method = method;
  if (!answered.ok() && s.statusCode == 0) return answered;
  if (s.statusCode < 200 || s.statusCode > 299) return Status(cvErrorUnexpectedServerResponse);
  if (!SecLoadProvider()) return PlatformError();
  s.options |= kOptSecure;
  s.tlsProtocolMask = kDefaultTlsMask;
  if (s.credentials) s.credentials->protocolMask = kDefaultTlsMask;
  return TlsCreateCredentials(s);
}

Status Reconnect(HttpClientSession& s) noexcept {
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);
  const HWND window = s.notify.socketWindow;
  const UINT message = s.notify.socketMessage;
  DetachWindow(s);
  CloseConnection(s);
  ClearStaleCancel(s);
  const bool proxied = s.proxyType != kProxyNone;
  const Result<SOCKET> sock = OpenSocket(s, proxied ? s.proxyAddress : s.serverAddress, proxied ? s.proxyPort : s.port);
  if (!sock.ok()) return Abandon(s, sock.status());
  s.header.controlSocket = sock.value();
  s.serverClosed = 0;
  s.responsePending = 0;
  s.errorStatus = 0;
  s.requestOpen = 0;
  s.chunked = 0;
  s.connected = 1;
  if (s.options & kOptSecure) {
    Status secured = TlsCreateCredentials(s);
    if (secured.ok() && s.proxyType == kProxyTunnel) secured = TunnelThenTls(s);
    if (secured.ok()) secured = StartTls(s);
    if (!secured.ok()) return Abandon(s, secured);
  }
  AttachWindow(s, window, message);
  return {};
}

namespace {

// Where a redirect leads: the location resolved against the request it answers.
struct RedirectTarget {
  bool secure = false;
  std::string host;
  uint32_t port = 0;
  std::string path;  // with "?" and the query when there is one
};

// Dot segments removed from a path as a reference is resolved (RFC 3986, 5.2.4).
std::string RemoveDotSegments(std::string in) {
  std::string out;
  auto popSegment = [&out] {
    const size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.rfind("../", 0) == 0) {
      in.erase(0, 3);
    } else if (in.rfind("./", 0) == 0) {
      in.erase(0, 2);
    } else if (in.rfind("/./", 0) == 0 || in == "/.") {
      in.replace(0, in == "/." ? 2 : 3, "/");
    } else if (in.rfind("/../", 0) == 0 || in == "/..") {
      in.replace(0, in == "/.." ? 3 : 4, "/");
      popSegment();
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      const size_t end = in.find('/', 1);
      out += in.substr(0, end);
      in.erase(0, end == std::string::npos ? in.size() : end);
    }
  }
  return out;
}

bool HasScheme(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (size_t i = 1; i < colon; ++i)
    if (!std::isalnum(static_cast<unsigned char>(text[i])) && !std::strchr("+-.", text[i])) return false;
  return true;
}

// Resolves location as a URI reference (absolute, network-path, absolute-path, relative
// path or query) against the session's current request; false for anything but http(s).
bool ResolveLocation(const HttpClientSession& s, std::string location, RedirectTarget& t) {
  location.erase(std::min(location.find('#'), location.size()));
  t.secure = s.options & kOptSecure;
  t.host = s.host;
  t.port = s.port;
  if (location.rfind("//", 0) == 0) location = (t.secure ? "https:" : "http:") + location;
  std::string path, query;
  bool hasQuery = false;
  if (HasScheme(location)) {
    HttpUrl* url = nullptr;
    const bool ok = location.find("://") != std::string::npos && HttpParseUrl(location.c_str(), 0, &url) &&
                    url->host && *url->host;
    if (ok) {
      t.secure = url->scheme == 2;
      t.host = url->host;
      t.port = url->port;
      path = url->path ? url->path : "/";
      hasQuery = url->query != nullptr;
      if (hasQuery) query = url->query;
    }
    UrlFree(url);
    if (!ok) return false;
  } else {
    const size_t q = location.find('?');
    path = location.substr(0, q);
    hasQuery = q != std::string::npos;
    if (hasQuery) query = location.substr(q + 1);
    if (path.empty()) {
      path = s.requestPath;
      if (!hasQuery && s.query.text) {
        hasQuery = true;
        query = s.query.text;
      }
    } else if (path[0] != '/') {
      const std::string base = s.requestPath;
      const size_t slash = base.rfind('/');
      path = (slash == std::string::npos ? "/" : base.substr(0, slash + 1)) + path;
    }
  }
  t.path = RemoveDotSegments(path);
  if (t.path.empty() || t.path[0] != '/') t.path.insert(0, "/");
  if (hasQuery) t.path += "?" + query;
  return true;
}

}  // namespace

Status FollowRedirect(HttpClientSession& s, const char* location) noexcept {
  if (Empty(location)) return Status(cvErrorInvalidResource);
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);
  RedirectTarget target;
  if (!ResolveLocation(s, location, target)) return Status(cvErrorInvalidResource);
  const HWND window = s.notify.socketWindow;
  const UINT message = s.notify.socketMessage;
  DetachWindow(s);
  CloseConnection(s);
  std::string method;
  if (s.requestText.text) {
    const char* blank = std::strchr(s.requestText.text, ' ');
    method.assign(s.requestText.text, blank ? size_t(blank - s.requestText.text) : s.requestText.length);
  }
  FreeText(s, s.requestText);
  if (method.empty()) return Status(cvErrorInvalidCommand);
  // 303 asks for the result with GET; after a POST so do 301 and 302, as browsers have it.
  // 307 and 308 repeat the request as it was.
  const int32_t status = s.statusCode;
  const bool toGet = (status == 303 && !EqualNoCase(method.c_str(), "HEAD")) ||
                     ((status == 301 || status == 302) && EqualNoCase(method.c_str(), "POST"));
  if (toGet) {
    method = "GET";
    FreeText(s, s.requestBody);
    DropOwnHeader(s, OwnHeader::ContentType);
  }
  char host[kHttpHostNameSize];
  if (!SockNormalizeHostName(target.host.c_str(), host)) return Status(cvErrorInvalidHostName);
  if (!EqualNoCase(host, s.host) || target.port != s.port) {
    // Credentials and cookies belong to the server they were given for.
    s.authentication = 0;
    explicit_bzero(s.user, sizeof s.user);
    explicit_bzero(s.password, sizeof s.password);
    RemoveHeader(s, "Authorization");
    RemoveHeader(s, "Cookie");
    if (!EqualNoCase(host, s.host)) {
      if (s.proxyType == kProxyNone &&
          SockResolveAddress(host, (s.options & kOptIpv6) ? 23 : 0, &s.serverAddress) == -1)
        return Status(cvErrorInvalidHostName);
      CopyField(s.host, host);
    }
  }
  s.port = target.port;
  if (target.secure)
    s.options |= kOptSecure;
  else
    s.options &= ~kOptSecure;
  if ((s.options & kOptSecure) && !s.credentials) {
    if (const Status prepared = PrepareTls(s, nullptr); !prepared.ok()) return prepared;
  }
  if (const Status reconnected = Reconnect(s); !reconnected.ok()) return reconnected;
  RemoveHeader(s, "Host");
  ClearHeaders(s, s.responseHeaders);
  AttachWindow(s, window, message);
  const std::string body = s.requestBody.text ? std::string(s.requestBody.text, s.requestBody.length) : std::string();
  s.requestOpen = 0;
  return SendRequest(s, method.c_str(), target.path.c_str(), body.empty() ? nullptr : body.data(),
                     uint32_t(body.size()), kRedirectFlag)
      .status();
}

Status Disconnect(HttpClientSession& s) noexcept {
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);
  if (s.responsePending || s.chunked) {
    s.responsePending = 0;
    s.requestOpen = 0;
  }
  CloseConnection(s);
  ReleaseOrDefer(s.header.handle);
  return {};
}

}  // namespace cvhttp

using namespace cvhttp;

namespace {

Result<LibHandle> OpenConnection(const char* host, uint32_t port, uint32_t timeout, uint32_t options, uint32_t version,
                                 SecCredentials* credentials, HWND window, UINT message);

Result<LibHandle> OpenProxyConnection(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort,
                                      const char* proxyUser, const char* proxyPassword, const char* host, uint32_t port,
                                      uint32_t timeout, uint32_t options, uint32_t version, SecCredentials* credentials,
                                      HWND window, UINT message) {
  char proxyName[kHttpHostNameSize] = {};
  char target[kHttpHostNameSize] = {};
  if (!Empty(proxyHost) && !SockNormalizeHostName(proxyHost, proxyName)) return Status(cvErrorInvalidHostName);
  if (Empty(host) || !TakeHost(host, target, options, port)) return Status(cvErrorInvalidHostName);
  options &= ~kOptSystemProxy;
  if (proxyType == kProxySystem) {
    HttpProxyInfo proxy{};
    const int32_t found = SystemProxy(target, SecureTarget(options, port), proxy);
    if (found == -1) return Status(cvErrorInvalidProxyType);
    proxyType = found == 1 ? proxy.type : kProxyNone;
    if (found == 1) {
      if (!SockNormalizeHostName(proxy.host, proxyName)) return Status(cvErrorInvalidHostName);
      proxyPort = proxy.port;
    }
  }
  if (proxyType == kProxyNone)
    return OpenConnection(target, port, timeout, options, version, credentials, window, message);
  if (proxyType != kProxyCern && proxyType != kProxyTunnel && proxyType != kProxyOther)
    return Status(cvErrorInvalidProxyType);
  if (!proxyName[0]) return Status(cvErrorInvalidHostName);
  if (port == 443 && !(options & kOptNoPortTls)) options |= kOptSecure;
  const bool secure = options & kOptSecure;
  if (port == 0) port = secure ? 443 : 80;
  uint32_t proxyOptions = options;
  if (proxyType == kProxyTunnel) {
    if ((version >> 16) == 0) return Status(cvErrorInvalidParameter);
    if (secure && proxyPort == 443) return Status(cvErrorInvalidServicePort);
    proxyOptions &= ~kOptSecure;
  }
  if (proxyPort == 0) proxyPort = (proxyOptions & kOptSecure) ? 443 : 80;
  // The connection to the proxy: port 443 must not turn TLS on by itself for a tunnel.
  const Result<LibHandle> h = OpenConnection(proxyName, proxyPort, timeout, proxyOptions | kOptNoPortTls, version,
                                             credentials, window, message);
  if (!h.ok()) return h;
  Operation op(h.value());
  HttpClientSession& s = *op.session();
  s.options = options;
  if (secure && !s.credentials) {
    if (const Status prepared = PrepareTls(s, credentials); !prepared.ok()) return Abandon(s, prepared);
  }
  s.proxyType = proxyType;
  s.proxyAuthorization = 0;
  s.proxyAddress = s.serverAddress;
  s.proxyPort = proxyPort;
  s.serverAddress = SockAddress{};
  s.port = port;
  CopyField(s.proxyHost, proxyName);
  CopyField(s.host, target);
  if (proxyUser && proxyPassword) {
    CopyField(s.proxyUser, proxyUser);
    CopyField(s.proxyPassword, proxyPassword);
    s.proxyAuthorization = *proxyUser && *proxyPassword;
  }
  if (window || proxyType != kProxyTunnel || !secure) return h;
  Status secured = TunnelThenTls(s);
  if (secured.ok()) secured = StartTls(s);
  if (!secured.ok()) return Abandon(s, secured);
  return h;
}

Result<LibHandle> OpenConnection(const char* host, uint32_t port, uint32_t timeout, uint32_t options, uint32_t version,
                                 SecCredentials* credentials, HWND window, UINT message) {
  if (Empty(host)) return Status(cvErrorInvalidHostName);
  if ((options & kOptIpv6) && !SockIsIPv6Available()) return Status(cvErrorProtocolNotAvailable);
  char name[kHttpHostNameSize];
  if (!TakeHost(host, name, options, port)) return Status(cvErrorInvalidHostName);
  if (options & kOptSystemProxy) {
    options &= ~kOptSystemProxy;
    HttpProxyInfo proxy{};
    if (SystemProxy(name, SecureTarget(options, port), proxy) == 1)
      return OpenProxyConnection(proxy.type, proxy.host, proxy.port, nullptr, nullptr, name, port, timeout, options,
                                 version, credentials, window, message);
  }
  if (port == 443 && !(options & kOptNoPortTls)) options |= kOptSecure;
  if (options & kOptSecure) {
    if (!SecLoadProvider()) return PlatformError();
    if (port == 0) port = 443;
  } else if (port == 0) {
    port = 80;
  }
  if (window && (!plat::IsWindow(window) || message < 1024)) return Status(cvErrorInvalidParameter);

  const LibHandle h = HttpAllocSession();
  if (h == kInvalidLibHandle) return ReportedError();
  Operation op(h);
  HttpClientSession& s = *op.session();
  s.timeout = std::min<uint32_t>(timeout, 3600);
  s.options = options;
  s.port = port;
  s.versionMajor = uint16_t(version >> 16);
  s.versionMinor = uint16_t(version & 0xFFFF);
  CopyField(s.host, name);
  if (options & kOptSecure) {
    Status prepared = PrepareTls(s, credentials);
    if (prepared.ok()) prepared = TlsCreateCredentials(s);
    if (!prepared.ok()) return Abandon(s, prepared);
  }
  if (SockResolveAddress(name, (options & kOptIpv6) ? 23 : 0, &s.serverAddress) == -1)
    return Abandon(s, Status(cvErrorInvalidHostName));
  if (!window) {
    const Result<SOCKET> sock = OpenSocket(s, s.serverAddress, port);
    if (!sock.ok()) return Abandon(s, sock.status());
    s.header.controlSocket = sock.value();
    s.connected = 1;
    if (options & kOptSecure) {
      if (const Status secured = StartTls(s); !secured.ok()) return Abandon(s, secured);
    }
    return h;
  }
  // Asynchronous: the window procedure completes the connect on FD_CONNECT.
  alignas(sockaddr_in6) unsigned char sa[kSockAddressBufferSize];
  uint32_t length = 0;
  if (!SockMakeSockaddr(&s.serverAddress, uint16_t(port), sa, &length)) return Abandon(s, PlatformError());
  s.header.controlSocket = SockCreate(int32_t(s.serverAddress.family), plat::kSockStream, plat::kIpProtoTcp);
  if (s.header.controlSocket == INVALID_SOCKET) return Abandon(s, PlatformError());
  if (HttpRegisterWindow(h, window, message) == -1) return Abandon(s, ReportedError());
  if (SockConnect(s.header.controlSocket, reinterpret_cast<const sockaddr*>(sa), int32_t(length)) != 0 &&
      plat::GetLastError() != plat::WSAEWOULDBLOCK)
    return Abandon(s, PlatformError());
  return h;
}

}  // namespace

LibHandle HttpOpenConnection(const char* host, uint32_t port, uint32_t timeout, uint32_t options, uint32_t version,
                             SecCredentials* credentials, HWND window, UINT message) {
  return FinishExchange(OpenConnection(host, port, timeout, options, version, credentials, window, message),
                        kInvalidLibHandle);
}

LibHandle HttpOpenProxyConnection(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort, const char* proxyUser,
                                  const char* proxyPassword, const char* host, uint32_t port, uint32_t timeout,
                                  uint32_t options, uint32_t version, SecCredentials* credentials, HWND window,
                                  UINT message) {
  return FinishExchange(OpenProxyConnection(proxyType, proxyHost, proxyPort, proxyUser, proxyPassword, host, port,
                                            timeout, options, version, credentials, window, message),
                        kInvalidLibHandle);
}

LibHandle HttpConnect(const char* host, uint32_t port, uint32_t timeout, uint32_t options, uint32_t version,
                      SecCredentials* credentials) {
  return HttpOpenConnection(host, port, timeout, options, version, credentials, nullptr, 0);
}

LibHandle HttpProxyConnect(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort, const char* proxyUser,
                           const char* proxyPassword, const char* host, uint32_t port, uint32_t timeout,
                           uint32_t options, uint32_t version, SecCredentials* credentials) {
  return HttpOpenProxyConnection(proxyType, proxyHost, proxyPort, proxyUser, proxyPassword, host, port, timeout,
                                 options, version, credentials, nullptr, 0);
}

int32_t HttpDisconnect(LibHandle handle) {
  Operation op(handle);
  return op ? Finish(Disconnect(*op.session()), 0, -1) : -1;
}

int32_t HttpOpenTunnel(LibHandle handle) {
  Operation op(handle);
  return op ? FinishExchange(OpenTunnel(*op.session()), 1, 0) : 0;
}

int32_t HttpReconnect(LibHandle handle) {
  Operation op(handle);
  return op ? Finish(Reconnect(*op.session()), 0, -1) : -1;
}

int32_t HttpFollowRedirect(LibHandle handle, const char* location) {
  Operation op(handle);
  return op ? FinishExchange(FollowRedirect(*op.session(), location), 0, -1) : -1;
}
