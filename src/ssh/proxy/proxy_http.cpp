// HTTP CONNECT: one request, a status line whose code starts with 2, header lines up to
// the empty line, then the tunnel.
#include <cstdio>
#include <cstring>
#include <string>

#include "ssh/proxy/proxy.h"
#include "ssh/proxy/proxy_socket.h"
#include "ssh/util/strings.h"

namespace cvssh::proxy {

namespace {

// The length of the first line (LF included) of the collected input, 0 while it is
// incomplete. A line longer than CR LF continues when the next one starts with a blank
// or a tab (a folded header), so its end is known only once the next byte is there.
uint32_t LineLength(const std::vector<uint8_t>& in) {
  size_t from = 0;
  for (;;) {
    const void* lf = std::memchr(in.data() + from, '\n', in.size() - from);
    if (!lf) return 0;
    size_t end = size_t(static_cast<const uint8_t*>(lf) - in.data()) + 1;
    if (end <= 2) return uint32_t(end);
    if (end == in.size()) return 0;
    if (in[end] != ' ' && in[end] != '\t') return uint32_t(end);
    from = end;
  }
}

void SendRequest(ProxySocket* p) {
  char host[520];
  p->DestinationText(host, sizeof host);
  std::string request = "CONNECT " + std::string(host) + ":" + std::to_string(p->port) + " HTTP/1.1\r\nHost: " +
                        host + ":" + std::to_string(p->port) + "\r\n";
  if (p->settings.ProxyUserName[0] || p->settings.ProxyPassword[0]) {
    std::string credentials = std::string(p->settings.ProxyUserName) + ":" + p->settings.ProxyPassword;
    request += "Proxy-Authorization: Basic ";
    for (size_t at = 0; at < credentials.size(); at += 3) {
      char group[4];
      int count = int(std::min<size_t>(3, credentials.size() - at));
      Base64Group(reinterpret_cast<const uint8_t*>(credentials.data() + at), count, group);
      request.append(group, 4);
    }
    request += "\r\n";
    explicit_bzero(credentials.data(), credentials.size());
  }
  request += "\r\n";
  p->Send(request.data(), uint32_t(request.size()));
  explicit_bzero(request.data(), request.size());
}

}  // namespace

int32_t NegotiateHttp(ProxySocket* p, int32_t change) {
  switch (change) {
    case kChangeStart:
      SendRequest(p);
      p->state = ProxyState::StatusLine;
      return 1;
    case kChangeClosing:
    case kChangeAccepting:
      return p->PassOn(change);
    case kChangeSent:
      return 1;
    case kChangeReceive:
      break;
    default:
      return p->Fail(kProxyErrorUnexpected);
  }
  for (;;) {
    std::vector<uint8_t> in = p->Input();
    uint32_t length = LineLength(in);
    if (length == 0) return 1;
    if (p->state == ProxyState::StatusLine) {
      std::string line(reinterpret_cast<const char*>(in.data()), length);
      int major = 0, minor = 0, at = 0;
      if (std::sscanf(line.c_str(), "HTTP/%i.%i %n", &major, &minor, &at) < 2 || at == 0 ||
          size_t(at) >= line.size() || line[size_t(at)] != '2')
        return p->Fail(kProxyErrorRefused);
      p->Consume(length);
      p->state = ProxyState::HeaderLines;
      continue;
    }
    p->Consume(length);
    if (length == 2 && in[0] == '\r') return p->Activate();
  }
}

}  // namespace cvssh::proxy
