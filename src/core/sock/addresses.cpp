// Numeric address conversions, with the fallbacks used when the newer entries are missing.
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "platform/net/wsa_errors.h"

using cvcore::Binding;
using cvcore::SockFail;

namespace {

constexpr uint32_t kInvalidAddress = 0xFFFFFFFF;

// One part of dotted text: decimal, or hexadecimal after 0x/0X; a single leading 0 is
// skipped (no octal). False when no valid part starts at *p or it overflows 32 bits.
bool ReadPart(const char** p, uint64_t* value) {
  const char* s = *p;
  uint64_t v = 0;
  bool any = false;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s += 2;
    for (;; ++s) {
      int d = *s >= '0' && *s <= '9' ? *s - '0' : *s >= 'a' && *s <= 'f' ? *s - 'a' + 10
                                                : *s >= 'A' && *s <= 'F' ? *s - 'A' + 10 : -1;
      if (d < 0) break;
      v = v * 16 + uint64_t(d);
      any = true;
      if (v > 0xFFFFFFFFu) return false;
    }
  } else {
    if (*s == '0') {
      ++s;
      any = true;
    }
    for (; *s >= '0' && *s <= '9'; ++s) {
      v = v * 10 + uint64_t(*s - '0');
      any = true;
      if (v > 0xFFFFFFFFu) return false;
    }
  }
  *p = s;
  *value = v;
  return any;
}

}  // namespace

uint32_t SockInetAddr(const char* text) {
  if (!text) return kInvalidAddress;
  uint64_t parts[4];
  int count = 0;
  const char* p = text;
  for (;;) {
    if (!ReadPart(&p, &parts[count])) return kInvalidAddress;
    ++count;
    if (*p != '.') break;
    if (count == 4 || parts[count - 1] > 255) return kInvalidAddress;
    ++p;
  }
  if (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return kInvalidAddress;
  static constexpr uint64_t kLastLimit[] = {0xFFFFFFFFu, 0xFFFFFF, 0xFFFF, 0xFF};
  uint64_t last = parts[count - 1];
  if (last > kLastLimit[count - 1]) return kInvalidAddress;
  uint32_t host = 0;
  for (int i = 0; i < count - 1; ++i) host |= uint32_t(parts[i]) << (24 - 8 * i);
  host |= uint32_t(last);
  return htonl(host);
}

char* SockInetNtoa(uint32_t address) {
  if (auto ntoa = Binding().ws.inet_ntoa) return ntoa(address);
  thread_local char text[16];  // per thread: a shared buffer would be overwritten by others
  const auto* b = reinterpret_cast<const uint8_t*>(&address);
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

const char* SockInetNtop(int32_t family, const void* address, char* buffer, uint32_t size) {
  if (!address || !buffer || size == 0) return SockFail<const char*>(plat::WSAEINVAL, nullptr);
  auto& ws = Binding().ws;
  if (ws.inet_ntop) return ws.inet_ntop(family, address, buffer, size);
  if (ws.getnameinfo) {
    sockaddr_in6 storage{};
    uint32_t length;
    if (family == plat::kAfInet) {
      auto* in = reinterpret_cast<sockaddr_in*>(&storage);
      in->sin_family = AF_INET;
      std::memcpy(&in->sin_addr, address, 4);
      length = sizeof(sockaddr_in);
    } else if (family == plat::kAfInet6) {
      storage.sin6_family = AF_INET6;
      std::memcpy(&storage.sin6_addr, address, 16);
      length = sizeof(sockaddr_in6);
    } else {
      return SockFail<const char*>(plat::WSAEINVAL, nullptr);
    }
    if (ws.getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, buffer, size, nullptr, 0,
                       plat::kNiNumericHost) != 0)
      return nullptr;
    return buffer;
  }
  if (family != plat::kAfInet) return SockFail<const char*>(plat::WSAEAFNOSUPPORT, nullptr);
  uint32_t v;
  std::memcpy(&v, address, 4);
  const char* text = SockInetNtoa(v);
  if (std::strlen(text) >= size) return SockFail<const char*>(plat::WSAEINVAL, nullptr);
  std::strcpy(buffer, text);
  return buffer;
}

int32_t SockInetPton(int32_t family, const char* text, void* out) {
  if (!text || !out) return SockFail(plat::WSAEINVAL, -1);
  auto& ws = Binding().ws;
  if (ws.inet_pton) return ws.inet_pton(family, text, out);
  if (ws.getaddrinfo) {
    if (family != plat::kAfInet && family != plat::kAfInet6) return SockFail(plat::WSAEAFNOSUPPORT, -1);
    addrinfo hints{};
    hints.ai_flags = plat::kAiNumericHost;
    hints.ai_family = family;
    addrinfo* list = nullptr;
    if (ws.getaddrinfo(text, nullptr, &hints, &list) != 0 || !list) return 0;
    int32_t r;
    if (list->ai_family != family) {
      r = SockFail(plat::WSAEAFNOSUPPORT, -1);
    } else if (family == plat::kAfInet) {
      std::memcpy(out, &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, 4);
      r = 1;
    } else {
      std::memcpy(out, &reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_addr, 16);
      r = 1;
    }
    if (ws.freeaddrinfo) ws.freeaddrinfo(list);
    return r;
  }
  if (family != plat::kAfInet) return SockFail(plat::WSAEAFNOSUPPORT, -1);
  uint32_t v = SockInetAddr(text);
  if (v == kInvalidAddress) return 0;
  std::memcpy(out, &v, 4);
  return 1;
}
