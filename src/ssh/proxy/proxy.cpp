// Whether a destination goes through the proxy, name lookup left to the proxy, the
// choice of connection, and the command line of command-style proxies.
#include "ssh/proxy/proxy.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ssh/handle/command_line.h"
#include "ssh/handle/handle.h"
#include "ssh/proto/settings.h"
#include "ssh/proxy/proxy_socket.h"
#include "ssh/util/strings.h"

namespace {

using cvssh::proxy::ProxyNegotiate;

bool IsEntryChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '*'; }

bool EqualNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// "*tail" matches the end of the text, "head*" its start, and any other entry a prefix.
bool EntryMatches(const std::string& entry, const char* text) {
  size_t length = std::strlen(text);
  if (entry[0] == '*') {
    size_t n = entry.size() - 1;
    return n <= length && EqualNoCase(entry.c_str() + 1, text + length - n, n);
  }
  size_t n = entry.back() == '*' ? entry.size() - 1 : entry.size();
  return n <= length && EqualNoCase(entry.c_str(), text, n);
}

bool Excluded(const char* list, const char* text) {
  if (!text || !*text) return false;
  for (const char* p = list; *p;) {
    if (!IsEntryChar(*p)) {
      ++p;
      continue;
    }
    const char* start = p;
    while (IsEntryChar(*p)) ++p;
    if (EntryMatches(std::string(start, p), text)) return true;
  }
  return false;
}

ProxyNegotiate NegotiationOf(uint32_t type) {
  switch (type) {
    case kProxySocks4: return cvssh::proxy::NegotiateSocks4;
    case kProxySocks5: return cvssh::proxy::NegotiateSocks5;
    case kProxyHttp: return cvssh::proxy::NegotiateHttp;
    case kProxyTelnet: return cvssh::proxy::NegotiateTelnet;
    default: return nullptr;
  }
}

// The keyword after a "%" (matched without regard to case), or -1.
int Keyword(const char* p, size_t* length) {
  static const char* const kWords[] = {"proxyhost", "proxyport", "host", "port", "user", "pass"};
  for (int i = 0; i < 6; ++i) {
    size_t n = std::strlen(kWords[i]);
    if (strncasecmp(p, kWords[i], n) == 0) {
      *length = n;
      return i;
    }
  }
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = char(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

int32_t ProxyIsWanted(const SshAddress* address, const char* hostName, const SshSettings* settings) {
  if (!settings->ProxyLocalhost) {
    if (SshIsLocalhostName(hostName)) return 0;
    if (address && SshAddressType(address) != kSshAddressName && SshIsLocalAddress(address)) return 0;
  }
  if (address && SshAddressType(address) != kSshAddressName) {
    char text[512];
    SshAddressToText(address, text, sizeof text);
    if (Excluded(settings->ProxyExclusions, text)) return 0;
  }
  return Excluded(settings->ProxyExclusions, hostName) ? 0 : 1;
}

SshAddress* ProxyLookupName(const char* host, char** canonicalName, const SshSettings* settings, int32_t family) {
  if (settings->ProxyType != kProxyNone && ProxyIsWanted(nullptr, host, settings) &&
      (settings->ProxyDns == kProxyDnsAtProxy ||
       (settings->ProxyDns == kProxyDnsAuto && settings->ProxyType != kProxySocks4))) {
    if (canonicalName) *canonicalName = DupString(host);
    return SshUnresolvedAddress(host);
  }
  return SshLookupName(host, canonicalName, family);
}

SshSocket* ProxyNewConnection(SshAddress* address, const char* canonicalHost, int32_t port, int32_t keepAlive,
                              SshPlug* plug, const SshSettings* settings) {
  if (settings->ProxyType == kProxyNone || !ProxyIsWanted(address, canonicalHost, settings))
    return SshNewConnection(address, port, keepAlive, plug);
  if (SshSocket* local = LocalProxyNewConnection(address, port, plug, settings)) return local;
  auto* p = new cvssh::proxy::ProxySocket(plug, *settings, address, port, NegotiationOf(settings->ProxyType));
  p->Open(keepAlive);
  return p;
}

SshSocket* ProxyNewListener(const char* sourceAddress, int32_t port, SshPlug* plug, int32_t localOnly,
                            int32_t family) {
  return SshNewListener(sourceAddress, port, plug, localOnly, family);
}

namespace {

// Walks ProxyCommand: the template's own text (escapes applied) goes to text(), each
// substituted value to value().
template <typename OnText, typename OnValue>
void FormatCommand(const SshAddress* address, int32_t port, const SshSettings* settings, OnText text, OnValue value) {
  const char* p = settings->ProxyCommand;
  auto one = [&](char c) { text(std::string_view(&c, 1)); };
  while (*p) {
    if (*p == '%') {
      if (p[1] == '%') {
        one('%');
        p += 2;
        continue;
      }
      size_t n = 0;
      switch (Keyword(p + 1, &n)) {
        case 0:
          value(std::string_view(settings->ProxyHost));
          break;
        case 1:
          value(std::to_string(settings->ProxyPort));
          break;
        case 2: {
          char host[512];
          SshAddressToText(address, host, sizeof host);
          value(std::string_view(host));
          break;
        }
        case 3:
          value(std::to_string(port));
          break;
        case 4:
          value(std::string_view(settings->ProxyUserName));
          break;
        case 5:
          value(std::string_view(settings->ProxyPassword));
          break;
        default:
          one(*p++);
          continue;
      }
      p += 1 + n;
      continue;
    }
    if (*p == '\\' && p[1]) {
      char c = p[1];
      if (c == '\\' || c == '%') {
        one(c);
      } else if (c == 'n') {
        one('\n');
      } else if (c == 'r') {
        one('\r');
      } else if (c == 't') {
        one('\t');
      } else if (c == 'x' || c == 'X') {
        int high = p[2] ? HexValue(p[2]) : -1;
        int low = high >= 0 && p[3] ? HexValue(p[3]) : -1;
        if (low < 0) {
          one(*p++);  // the backslash stays; the text goes on after it
          continue;
        }
        one(char(high * 16 + low));
        p += 4;
        continue;
      } else {
        one(p[0]);
        one(c);
      }
      p += 2;
      continue;
    }
    one(*p++);
  }
}

}  // namespace

char* ProxyFormatCommand(const SshAddress* address, int32_t port, const SshSettings* settings) {
  std::string out;
  auto append = [&](std::string_view piece) { out.append(piece); };
  FormatCommand(address, port, settings, append, append);
  char* text = DupString(out.c_str());
  explicit_bzero(out.data(), out.size());
  return text;
}

std::vector<std::string> ProxyCommandWords(const SshAddress* address, int32_t port, const SshSettings* settings) {
  // The template is cut into words by its own blanks and quotes; a value never adds a
  // word of its own, so a host or user name cannot smuggle options into the command.
  cvssh::CommandLineSplitter words;
  FormatCommand(
      address, port, settings, [&](std::string_view text) { words.Text(text); },
      [&](std::string_view value) { words.Value(value); });
  return words.Finish();
}
