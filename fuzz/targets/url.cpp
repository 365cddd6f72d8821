// URLs of the HTTP and FTP clients and the path normaliser they share with the HTTP server:
// parse, compose and parse again, and the normaliser's two promises: a path never climbs
// above its start, and only whole "." and ".." segments are removed.
#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/url/url.h"
#include "fuzz_target.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The named segments of a path; empty ones (around and between separators) say nothing of
// which segments were removed.
std::vector<std::string_view> Segments(std::string_view path) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || IsSeparator(path[i])) {
      if (i > start) out.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

void CheckNormalized(std::string_view before, std::string_view after) {
  const auto in = Segments(before);
  const auto out = Segments(after);
  // What is left is the input's segments in their order, each unchanged...
  size_t at = 0;
  for (std::string_view s : out) {
    while (at < in.size() && in[at] != s) ++at;
    FUZZ_CHECK(at < in.size());
    ++at;
  }
  // ...and only "." and ".." went, each ".." with at most one segment before it.
  size_t removedDotDot = 0, removedOther = 0;
  at = 0;
  for (std::string_view s : in) {
    if (at < out.size() && out[at] == s) {
      ++at;
      continue;
    }
    if (s == "..") ++removedDotDot;
    else if (s != ".") ++removedOther;
  }
  FUZZ_CHECK(removedOther <= removedDotDot);
  // Walking the result never goes above where it started.
  long depth = 0;
  for (std::string_view s : out) {
    if (s == "..") --depth;
    else if (s != ".") ++depth;
    FUZZ_CHECK(depth >= 0);
  }
}

// Pieces that a composed URL carries without any quoting.
bool Plain(const char* text, bool path) {
  if (!text) return true;
  for (const char* p = text; *p; ++p) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_' || c == '~' || (path && c == '/');
    if (!ok) return false;
  }
  return true;
}

std::string_view Or(const char* text) { return text ? std::string_view(text) : std::string_view(); }

void HttpRoundTrip(const std::string& text, uint32_t flags) {
  HttpUrl* url = nullptr;
  if (!HttpParseUrl(text.c_str(), flags, &url)) return;
  FUZZ_CHECK(url && url->host && url->path);
  char composed[6000];
  const int32_t n = HttpComposeUrl(url, composed, sizeof composed);
  FUZZ_CHECK(n >= 0 && size_t(n) < sizeof composed && std::strlen(composed) == size_t(n));
  if (n > 0 && url->host[0] && Plain(url->host, false) && Plain(url->user, false) &&
      Plain(url->password, false) && Plain(url->path, true) && Plain(url->query, false)) {
    HttpUrl* again = nullptr;
    FUZZ_CHECK(HttpParseUrl(composed, flags | kHttpUrlNormalize, &again));
    std::string path(url->path);
    HttpNormalizePath(path.data());
    if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
    FUZZ_CHECK(again->scheme == url->scheme && again->port == url->port);
    FUZZ_CHECK(Or(again->host) == Or(url->host) && Or(again->path) == path.c_str());
    FUZZ_CHECK(Or(again->query) == Or(url->query));
    FUZZ_CHECK(Or(again->user) == Or(url->user));
    if (!Or(url->user).empty()) FUZZ_CHECK(Or(again->password) == Or(url->password));
    UrlFree(again);
  }
  UrlFree(url);
}

void FtpRoundTrip(const std::string& text) {
  FtpUrl* url = nullptr;
  if (!FtpParseUrl(text.c_str(), &url)) return;
  FUZZ_CHECK(url && url->host && url->path);
  char composed[6000];
  const int32_t n = FtpComposeUrl(url, composed, sizeof composed);
  FUZZ_CHECK(n >= 0 && size_t(n) < sizeof composed && std::strlen(composed) == size_t(n));
  const bool anonymous = url->user && strcasecmp(url->user, "anonymous") == 0;
  if (n > 0 && url->scheme != 0 && url->host[0] && !anonymous && Plain(url->host, false) &&
      Plain(url->user, false) && Plain(url->password, false) && Plain(url->path, true) && Plain(url->file, false)) {
    FtpUrl* again = nullptr;
    FUZZ_CHECK(FtpParseUrl(composed, &again));
    FUZZ_CHECK(again->scheme == url->scheme && again->port == url->port);
    FUZZ_CHECK(Or(again->host) == Or(url->host) && Or(again->file) == Or(url->file));
    FUZZ_CHECK(Or(again->user) == Or(url->user));
    UrlFree(again);
  }
  UrlFree(url);
}

}  // namespace

CV_FUZZ_TARGET(url) {
  cvfuzz::Input in(data, size);
  const uint32_t flags = in.Byte() & (kHttpUrlNormalize | kHttpUrlKeepQuery);
  std::string text(in.Rest());
  text.resize(std::strlen(text.c_str()));

  std::string path = text;
  FUZZ_CHECK(HttpNormalizePath(path.data()) == path.data());
  path.resize(std::strlen(path.c_str()));
  CheckNormalized(text, path);

  HttpGetUrlScheme(text.c_str());
  FtpUrlScheme(text.c_str());
  SockAddressFamily(text.c_str());
  HttpRoundTrip(text, flags);
  FtpRoundTrip(text);
}
