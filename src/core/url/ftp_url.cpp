#include <cstdlib>
#include <cstring>
#include <string>

#include "core/url/url.h"
#include "core/url/url_parts.h"
#include "core/url/url_schemes.h"

using namespace cvurl;

namespace {

constexpr uint32_t kMaxComposed = 5119;
constexpr uint32_t kTypeAscii = 1;
constexpr uint32_t kTypeImage = 3;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// ";type=a" or ";type=i" after the path; false for any other type letter.
bool TakeTransferType(std::string& path, uint32_t& type) {
  size_t semi = path.find(';');
  if (semi == std::string::npos) return true;
  std::string_view param = std::string_view(path).substr(semi + 1);
  if (param.size() >= 5 && EqualsNoCase(param.substr(0, 5), "type=")) {
    char letter = param.size() > 5 ? param[5] : '\0';
    if (letter == 'a' || letter == 'A') {
      type = kTypeAscii;
    } else if (letter == 'i' || letter == 'I') {
      type = kTypeImage;
    } else {
      return false;
    }
    path.resize(semi);
  }
  return true;
}

}  // namespace

uint32_t FtpUrlScheme(const char* text) {
  if (text == nullptr) return 0;
  std::string_view t = TrimLeft(text);
  size_t colon = t.find(':');
  if (colon == std::string_view::npos) return 0;
  const SchemeRow* row = FindByName(kFtpSchemes, t.substr(0, colon));
  return row ? row->id : 0;
}

int32_t FtpParseUrl(const char* text, FtpUrl** result) {
  if (result == nullptr) return 0;
  *result = nullptr;
  if (text == nullptr) return 0;
  std::string_view t = TrimLeft(text);
  if (t.empty()) return 0;

  auto parts = SplitUrl(t);
  if (!parts) return 0;
  uint32_t scheme = 1, port = 21, type = kTypeImage;
  if (parts->has_scheme) {
    const SchemeRow* row = FindByName(kFtpSchemes, parts->scheme);
    if (row == nullptr) return 0;
    scheme = row->id;
    port = row->default_port;
  }
  if (parts->port != 0) port = parts->port;

  std::string path(parts->path.value_or("/"));
  if (parts->has_scheme && parts->path && !TakeTransferType(path, type)) return 0;
  HttpNormalizePath(path.data());
  path.resize(std::strlen(path.c_str()));
  std::string file;
  if (size_t slash = path.find_last_of('/'); slash != std::string::npos) {
    file = path.substr(slash + 1);
    if (!file.empty()) path.resize(slash);
  }
  if (!path.empty() && path[0] == '/') path.erase(0, 1);

  size_t room = t.size() + 16;
  auto* url = static_cast<FtpUrl*>(std::calloc(1, sizeof(FtpUrl) + room));
  if (url == nullptr) return 0;
  Packer pack(reinterpret_cast<char*>(url + 1));
  url->scheme = scheme;
  url->port = port;
  url->type = type;
  url->host = pack.Put(parts->host);
  url->path = pack.Put(path);
  if (!file.empty()) url->file = pack.Put(file);
  if (parts->user) url->user = pack.Put(*parts->user);
  if (parts->password) url->password = pack.Put(*parts->password);
  *result = url;
  return 1;
}

int32_t FtpComposeUrl(const FtpUrl* url, char* buffer, uint32_t size) {
  if (url == nullptr || buffer == nullptr || size == 0) return 0;
  BoundedText out(buffer, size < kMaxComposed ? size : kMaxComposed);
  buffer[0] = '\0';
  std::string_view host = OrEmpty(url->host), user = OrEmpty(url->user);
  std::string_view password = OrEmpty(url->password), file = OrEmpty(url->file);
  if (EqualsNoCase(user, "anonymous")) user = password = {};
  if (url->scheme != 0) {
    const SchemeRow* row = FindById(kFtpSchemes, url->scheme);
    if (row == nullptr || host.empty()) return 0;
    if (!AppendAuthority(out, *row, user, password, url->host, url->port)) return 0;
  }
  if (!AppendNormalizedPath(out, OrEmpty(url->path))) return 0;
  if (!file.empty()) {
    if (out.size() != 0 && out.last() != '/' && !out.Append("/")) return 0;
    if (!out.Append(file)) return 0;
  }
  return int32_t(out.size());
}
