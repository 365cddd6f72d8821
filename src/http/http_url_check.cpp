// The URL test that also resolves the host.
#include "core/url/sock_address.h"
#include "core/url/url.h"
#include "http/http_internal.h"

namespace {

cvhttp::Status CheckUrl(const char* text) {
  using namespace cvhttp;
  while (text && (*text == ' ' || *text == '\t')) ++text;
  HttpUrl* url = nullptr;
  if (Empty(text) || !HttpParseUrl(text, kHttpUrlNormalize, &url)) return Status(cvErrorInvalidResource);
  SockAddress address{};
  const bool resolves = url->host && *url->host && SockResolveAddress(url->host, 0, &address) != -1;
  UrlFree(url);
  return resolves ? Status() : Status(cvErrorInvalidHostName);
}

}  // namespace

int32_t HttpIsValidUrl(const char* text) { return cvhttp::Finish(CheckUrl(text), 1, 0); }
