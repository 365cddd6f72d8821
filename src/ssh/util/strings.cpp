#include "ssh/util/strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ssh/util/alloc.h"

uint32_t ParseSizeSuffix(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  uint32_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) n = n * 10 + uint32_t(*p - '0');
  while (*p == ' ' || *p == '\t') ++p;
  switch (*p) {
    case 'K': case 'k': return n << 10;
    case 'M': case 'm': return n << 20;
    case 'G': case 'g': return n << 30;
    default: return n;
  }
}

char* DupString(const char* text) {
  if (!text) return nullptr;
  const size_t n = std::strlen(text) + 1;
  char* out = static_cast<char*>(CheckedAlloc(n, 1));
  if (out) std::memcpy(out, text, n);
  return out;
}

char* DupConcat(const char* text, ...) {
  size_t total = 1;
  va_list ap;
  va_start(ap, text);
  for (const char* s = text; s; s = va_arg(ap, const char*)) total += std::strlen(s);
  va_end(ap);
  char* out = static_cast<char*>(CheckedAlloc(total, 1));
  if (!out) return nullptr;
  char* o = out;
  va_start(ap, text);
  for (const char* s = text; s; s = va_arg(ap, const char*)) {
    const size_t n = std::strlen(s);
    std::memcpy(o, s, n);
    o += n;
  }
  va_end(ap);
  *o = '\0';
  return out;
}

char* DupPrintf(const char* format, ...) {
  size_t size = 512;
  char* buf = static_cast<char*>(CheckedAlloc(size, 1));
  while (buf) {
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n >= 0 && size_t(n) < size) return buf;
    size = n >= 0 ? size_t(n) + 1 : size + 512;
    char* bigger = static_cast<char*>(CheckedRealloc(buf, size, 1));
    if (!bigger) CheckedFree(buf);
    buf = bigger;
  }
  return nullptr;
}

void Base64Group(const uint8_t* bytes, int count, char out[4]) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  uint32_t w = uint32_t(bytes[0]) << 16;
  if (count > 1) w |= uint32_t(bytes[1]) << 8;
  if (count > 2) w |= bytes[2];
  out[0] = kAlphabet[(w >> 18) & 63];
  out[1] = kAlphabet[(w >> 12) & 63];
  out[2] = count > 1 ? kAlphabet[(w >> 6) & 63] : '=';
  out[3] = count > 2 ? kAlphabet[w & 63] : '=';
}

int FilenameIsEmpty(const char* text) { return !text || text[0] == '\0'; }
