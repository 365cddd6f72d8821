#include "core/url/url_parts.h"

#include <cstring>
#include <string>

#include "core/url/url.h"
#include "core/url/url_schemes.h"

namespace cvurl {

std::string_view TrimLeft(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  return text.substr(i);
}

namespace {

// Port text: empty gives 0 (the scheme's default); otherwise all digits and 1..65535. A port
// of 0 or one out of range is refused rather than read as the default, which would connect
// somewhere the URL never named.
std::optional<uint32_t> ParsePort(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value <= 65535) value = value * 10 + uint64_t(c - '0');
  }
  if (digits.empty()) return 0u;
  if (value < 1 || value > 65535) return std::nullopt;
  return uint32_t(value);
}

// A host is never empty and never holds "@" (user information the split did not take, as in
// a bare "@evil.example"), a blank or a control character.
bool AcceptableHost(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (c == '@' || static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return false;
  }
  return true;
}

bool ParseAuthority(std::string_view authority, UrlParts& parts) {
  std::string_view hostport = authority;
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
    std::string_view userinfo = authority.substr(0, at);
    hostport = authority.substr(at + 1);
    if (size_t colon = userinfo.find(':'); colon != std::string_view::npos) {
      parts.user = userinfo.substr(0, colon);
      parts.password = userinfo.substr(colon + 1);
    } else {
      parts.user = userinfo;
    }
  }
  std::string_view rest;
  if (!hostport.empty() && hostport[0] == '[') {
    size_t close = hostport.find(']');
    if (close == std::string_view::npos) return false;
    parts.host = hostport.substr(1, close - 1);
    rest = hostport.substr(close + 1);
  } else {
    size_t colon = hostport.find(':');
    parts.host = hostport.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : hostport.substr(colon);
  }
  if (!rest.empty()) {
    if (rest[0] != ':') return false;  // text after "]" other than a port
    auto port = ParsePort(rest.substr(1));
    if (!port) return false;
    parts.port = *port;
  }
  return AcceptableHost(parts.host);
}

}  // namespace

std::optional<UrlParts> SplitUrl(std::string_view text) {
  UrlParts parts;
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    size_t slash = text.find('/');
    parts.host = text.substr(0, slash);
    if (slash != std::string_view::npos) parts.path = text.substr(slash);
    if (!AcceptableHost(parts.host)) return std::nullopt;
    return parts;
  }
  if (text.substr(colon + 1, 2) != "//") return std::nullopt;
  parts.has_scheme = true;
  parts.scheme = text.substr(0, colon);
  std::string_view after = text.substr(colon + 3);
  size_t slash = after.find('/');
  if (slash != std::string_view::npos) parts.path = after.substr(slash);
  if (!ParseAuthority(after.substr(0, slash), parts)) return std::nullopt;
  return parts;
}

bool BoundedText::Append(std::string_view piece) {
  if (uint64_t(len_) + piece.size() + 1 > limit_) return false;
  std::memcpy(out_ + len_, piece.data(), piece.size());
  len_ += uint32_t(piece.size());
  out_[len_] = '\0';
  return true;
}

bool AppendAuthority(BoundedText& out, const SchemeRow& row, std::string_view user,
                     std::string_view password, const char* host, uint32_t port) {
  if (!out.Append(row.name) || !out.Append("://")) return false;
  if (!user.empty()) {
    if (!out.Append(user)) return false;
    if (!password.empty() && (!out.Append(":") || !out.Append(password))) return false;
    if (!out.Append("@")) return false;
  }
  bool literal6 = SockAddressFamily(host) == 23;
  if ((literal6 && !out.Append("[")) || !out.Append(host) || (literal6 && !out.Append("]"))) return false;
  if (port != 0 && port != row.default_port) {
    if (!out.Append(":") || !out.Append(std::to_string(port))) return false;
  }
  return true;
}

bool AppendNormalizedPath(BoundedText& out, std::string_view path_in) {
  std::string path(path_in);
  if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
  HttpNormalizePath(path.data());
  return out.Append(path.c_str());
}

char* Packer::Put(std::string_view s) {
  char* at = next_;
  std::memcpy(at, s.data(), s.size());
  at[s.size()] = '\0';
  next_ += s.size() + 1;
  return at;
}

}  // namespace cvurl
