// Escaping and Base64, the User-Agent text, line-end conversion of downloaded text, and
// the address helpers.
#include <sys/utsname.h>

#include <cstring>
#include <string>

#include "core/url/sock_address.h"
#include "http/http_internal.h"

namespace {

constexpr const char kUnsafe[] = "!\"#$'()*+,:;<>?@[]\\^`{}|";
constexpr const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char kHex[] = "0123456789abcdef";

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool Unsafe(unsigned char c) { return c < 33 || c > 126 || (c != 0 && std::strchr(kUnsafe, c)); }

int32_t EncodeBase64(const unsigned char* in, int32_t length, char* out, int32_t size) {
  const int64_t needed = int64_t((length + 2) / 3) * 4 + 1;
  if (needed > size) return -1;
  int32_t o = 0;
  for (int32_t i = 0; i < length; i += 3) {
    const uint32_t b0 = in[i];
    const uint32_t b1 = i + 1 < length ? in[i + 1] : 0;
    const uint32_t b2 = i + 2 < length ? in[i + 2] : 0;
    const uint32_t v = b0 << 16 | b1 << 8 | b2;
    out[o++] = kBase64[(v >> 18) & 63];
    out[o++] = kBase64[(v >> 12) & 63];
    out[o++] = i + 1 < length ? kBase64[(v >> 6) & 63] : '=';
    out[o++] = i + 2 < length ? kBase64[v & 63] : '=';
  }
  out[o] = '\0';
  return o;
}

}  // namespace

int32_t HttpUrlNeedsEncoding(const char* text, uint32_t length) {
  if (!text) return 0;
  const size_t n = length == 0xFFFFFFFFu ? std::strlen(text) : length;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '+') continue;
    if (c == '%') {
      if (n - i > 2 && IsHex(text[i + 1]) && IsHex(text[i + 2])) {
        i += 2;
        continue;
      }
      return 1;
    }
    if (Unsafe(c)) return 1;
  }
  return 0;
}

namespace cvhttp {

Result<int32_t> EncodeText(uint32_t mode, const char* input, int32_t length, char* output, int32_t size) noexcept {
  // Arguments it cannot use are refused without an error of their own, as the public call has it.
  const Status refused(cvErrorInvalidParameter);
  if (!input || !output || length < 0 || size < 1) return refused;
  if (length == 0) {
    output[0] = '\0';
    return 0;
  }
  if (int64_t(size) < int64_t(length) + length / 2 + 1) return refused;
  if (mode == 0 || mode > 5) return refused;
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  if (mode == 1) return EncodeBase64(in, length, output, size);
  int32_t o = 0;
  int32_t i = 0;
  for (; i < length; ++i) {
    const unsigned char c = in[i];
    bool escape;
    if (mode == 5)
      escape = false;
    else if (c == ' ')
      escape = mode != 4;
    else if (c == '%')
      escape = !(length - i >= 3 && IsHex(char(in[i + 1])) && IsHex(char(in[i + 2])));
    else if (c == '&' || c == '=')
      escape = mode == 2;
    else if (c == '-' || c == '.' || c == '/' || c == '_')
      escape = mode == 3;
    else
      escape = Unsafe(c);
    if (escape) {
      if (size - o < 4) return Status(cvErrorBufferTooSmall);
      output[o++] = '%';
      output[o++] = kHex[c >> 4];
      output[o++] = kHex[c & 15];
    } else {
      if (size - o < 2) break;
      output[o++] = char(c);
    }
  }
  if (i < length) return refused;
  output[o] = '\0';
  return o;
}

}  // namespace cvhttp

int32_t HttpEncodeText(uint32_t mode, const char* input, int32_t length, char* output, int32_t size) {
  const cvhttp::Result<int32_t> n = cvhttp::EncodeText(mode, input, length, output, size);
  // Only a buffer too small for an escape is reported; every other refusal is a bare -1.
  if (n.error() == cvErrorBufferTooSmall) return cvhttp::Finish(n, -1);
  return n.ok() ? n.value() : -1;
}

const char* HttpGetUserAgent() {
  static const std::string text = [] {
    std::string system = "Unknown";
    utsname u{};
    if (uname(&u) == 0) system = std::string("X11; ") + u.sysname + " " + u.machine;
    return "Mozilla/5.0 (" + system + ") Chrome/63.0.3239.84 Safari/537.36 Corvanetics/9.5";
  }();
  return text.c_str();
}

namespace cvhttp {

Result<int32_t> ConvertLineEnds(HttpClientSession& s, const char* data, uint32_t length, char** out,
                                uint32_t* outLength, uint32_t* last) noexcept {
  if (!data || length == 0 || !out || !outLength) return Status(cvErrorInvalidParameter);
  char previous = last ? char(*last) : '\0';
  uint32_t lineFeeds = 0;
  for (uint32_t i = 0; i < length; ++i) lineFeeds += data[i] == '\n';
  if (last) *last = static_cast<unsigned char>(data[length - 1]);
  if (lineFeeds == 0) {
    *out = const_cast<char*>(data);
    *outLength = length;
    return 0;
  }
  const uint64_t needed = (uint64_t(lineFeeds) + length + 128) / 8192 * 8192 + 8192;
  if (needed > 0xFFFFFFFFu) return Status(cvErrorOutOfMemory);
  if (s.convertSize < needed) {
    if (s.convertBuffer) MemSessionFree(s.header.handle, s.convertBuffer);
    s.convertBuffer = static_cast<char*>(MemSessionAlloc(s.header.handle, size_t(needed)));
    s.convertSize = s.convertBuffer ? uint32_t(needed) : 0;
    if (!s.convertBuffer) return Status(cvErrorOutOfMemory);
  }
  uint32_t o = 0;
  int32_t inserted = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (data[i] == '\n' && previous != '\r') {
      s.convertBuffer[o++] = '\r';
      ++inserted;
    }
    s.convertBuffer[o++] = data[i];
    previous = data[i];
  }
  *out = s.convertBuffer;
  *outLength = o;
  return inserted;
}

}  // namespace cvhttp

int32_t HttpConvertLineEnds(LibHandle handle, const char* data, uint32_t length, char** out, uint32_t* outLength,
                            uint32_t* last) {
  HttpClientSession* s = HttpGetSession(handle);
  return s ? cvhttp::Finish(cvhttp::ConvertLineEnds(*s, data, length, out, outLength, last), -1) : -1;
}

namespace {

cvhttp::Status FormatAddress(const SockAddress* address, char* buffer) {
  using cvhttp::Status;
  if (!address || !buffer) return Status(cvErrorInvalidParameter);
  buffer[0] = '\0';
  const int32_t family = address->family == 23 ? 23 : 2;
  if (address->family != 2 && address->family != 23) return Status(cvErrorInvalidHostAddress);
  if (!SockInetNtop(family, address->address, buffer, 64)) return Status(cvErrorInvalidHostAddress);
  return {};
}

}  // namespace

int32_t SockFormatAddress(const SockAddress* address, char* buffer) {
  return cvhttp::Finish(FormatAddress(address, buffer), 1, 0);
}

namespace {

// The local address of the session's connection, or of the host's name: its family.
cvhttp::Result<int32_t> LocalAddress(LibHandle handle, uint32_t family, SockAddress* address) {
  using namespace cvhttp;
  uint32_t wanted = family ? family : 2;
  // Without a usable session the host's own address answers.
  HttpClientSession* s = handle == kInvalidLibHandle ? nullptr : Library().LookupOwned(handle).value();
  if (s && Gone(*s)) s = nullptr;
  if (s && (s->options & kOptIpv6)) wanted = 23;
  if (s && s->header.controlSocket != INVALID_SOCKET) {
    sockaddr_storage sa{};
    int32_t length = sizeof sa;
    if (SockGetLocalName(s->header.controlSocket, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
      return PlatformError();
    if (sa.ss_family == AF_INET6) {
      if (address) {
        address->family = 23;
        std::memcpy(address->address, &reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr, 16);
      }
      return 23;
    }
    if (address) {
      address->family = 2;
      std::memcpy(address->address, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr, 4);
    }
    return 2;
  }
  char name[256];
  SockAddress found{};
  if (SockGetHostName(name, sizeof name) != 0 || SockResolveAddress(name, wanted == 23 ? 23 : 0, &found) == -1)
    return Status(cvErrorUnknownLocalhost);
  if (address) *address = found;
  return int32_t(found.family);
}

}  // namespace

int32_t HttpGetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address) {
  if (address) *address = SockAddress{};
  return cvhttp::Finish(LocalAddress(handle, family, address), -1);
}
