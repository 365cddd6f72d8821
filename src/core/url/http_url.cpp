#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/url/url.h"
#include "core/url/url_parts.h"
#include "core/url/url_schemes.h"

using namespace cvurl;

namespace {

// Compose limit: the caller's size, but never more than this many characters.
constexpr uint32_t kMaxComposed = 5119;

}  // namespace

uint32_t SockAddressFamily(const char* text) {
  if (text == nullptr) return 0;
  std::string trimmed(TrimLeft(text));
  if (trimmed.empty()) return 0;
  unsigned char buf[16];
  if (inet_pton(AF_INET, trimmed.c_str(), buf) == 1) return 2;
  if (inet_pton(AF_INET6, trimmed.c_str(), buf) == 1) return 23;
  return 0;
}

void UrlFree(void* record) { std::free(record); }

uint32_t HttpGetUrlScheme(const char* text) {
  if (text == nullptr) return 0;
  std::string_view t = TrimLeft(text);
  size_t colon = t.find(':');
  if (colon == std::string_view::npos) return 0;
  const SchemeRow* row = FindByName(kHttpSchemes, t.substr(0, colon));
  return row ? row->id : 0;
}

int32_t HttpParseUrl(const char* text, uint32_t flags, HttpUrl** result) {
  if (result == nullptr) return 0;
  *result = nullptr;
  if (text == nullptr) return 0;
  std::string_view t = TrimLeft(text);
  // The fragment belongs to the client alone: no field holds it and no request may carry it.
  t = t.substr(0, t.find('#'));
  if (t.empty()) return 0;

  auto parts = SplitUrl(t);
  if (!parts) return 0;
  uint32_t scheme = 1, port = 80;
  if (parts->has_scheme) {
    const SchemeRow* row = FindByName(kHttpSchemes, parts->scheme);
    if (row == nullptr) return 0;
    scheme = row->id;
    port = row->default_port;
  }
  if (parts->port != 0) port = parts->port;

  std::string_view path = parts->path.value_or("/");
  std::optional<std::string_view> query;
  if (!(flags & kHttpUrlKeepQuery)) {
    if (size_t q = path.find('?'); q != std::string_view::npos) {
      query = path.substr(q + 1);
      path = path.substr(0, q);
    }
  }

  // Every piece is a substring of the text, so the text's length plus the terminators
  // and the default "/" fit in the spare room.
  size_t room = t.size() + 64;
  auto* url = static_cast<HttpUrl*>(std::calloc(1, sizeof(HttpUrl) + room));
  if (url == nullptr) return 0;
  Packer pack(reinterpret_cast<char*>(url + 1));
  url->scheme = scheme;
  url->port = port;
  url->host = pack.Put(parts->host);
  url->path = pack.Put(path);
  if (query) url->query = pack.Put(*query);
  if (parts->user) url->user = pack.Put(*parts->user);
  if (parts->password) url->password = pack.Put(*parts->password);
  if (flags & kHttpUrlNormalize) HttpNormalizePath(url->path);
  *result = url;
  return 1;
}

int32_t HttpComposeUrl(const HttpUrl* url, char* buffer, uint32_t size) {
  if (url == nullptr || buffer == nullptr || size == 0) return 0;
  BoundedText out(buffer, size < kMaxComposed ? size : kMaxComposed);
  buffer[0] = '\0';
  std::string_view host = OrEmpty(url->host), user = OrEmpty(url->user);
  std::string_view password = OrEmpty(url->password);
  if (url->scheme != 0) {
    const SchemeRow* row = FindById(kHttpSchemes, url->scheme);
    if (row == nullptr || host.empty()) return 0;
    if (!AppendAuthority(out, *row, user, password, url->host, url->port)) return 0;
  }
  if (!AppendNormalizedPath(out, OrEmpty(url->path))) return 0;
  std::string_view query = OrEmpty(url->query);
  if (!query.empty() && (!out.Append("?") || !out.Append(query))) return 0;
  return int32_t(out.size());
}
