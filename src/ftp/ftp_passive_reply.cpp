#include "ftp/ftp_passive_reply.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace cvftp {

namespace {

// Reads a decimal number of at most max; p advances past it.
bool TakeNumber(const char*& p, uint32_t max, uint32_t* out) noexcept {
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  uint32_t v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    v = v * 10 + uint32_t(*p - '0');
    if (v > max) return false;
  }
  *out = v;
  return true;
}

}  // namespace

bool ParsePasv(const char* text, char (&address)[16], uint32_t* port) noexcept {
  const char* p = std::strchr(text, '(');
  char close = ')';
  if (!p) {
    p = std::strchr(text, '[');
    close = ']';
  }
  if (p) {
    ++p;
  } else {
    close = 0;
    for (p = text; *p && !std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    }
    if (!*p) return false;
  }
  uint32_t n[6];
  for (int i = 0; i < 6; ++i) {
    while (*p == ' ') ++p;
    if (!TakeNumber(p, 255, &n[i])) return false;
    while (*p == ' ') ++p;
    if (i < 5 && *p++ != ',') return false;
  }
  if (*p == ',') return false;
  if (close && *p != close) return false;
  std::snprintf(address, sizeof address, "%u.%u.%u.%u", n[0], n[1], n[2], n[3]);
  *port = n[4] * 256 + n[5];
  return true;
}

bool ParseEpsv(const char* text, char (&address)[64], uint32_t* port) noexcept {
  const char* open = std::strchr(text, '(');
  if (!open || !open[1]) return false;
  const char d = open[1];
  if (d < 33 || d > 126 || std::isalnum(static_cast<unsigned char>(d))) return false;
  const char* fields[4];
  const char* p = open + 1;
  for (int i = 0; i < 4; ++i) {
    if (*p != d) return false;
    fields[i] = ++p;
    if (i < 3)
      while (*p && *p != d) ++p;
  }
  if (*p != ')') return false;
  // fields: family, address, port, and the end just after the last delimiter
  if (fields[1] - fields[0] > 1) {
    if (fields[1] - fields[0] != 2 || fields[0][0] != '2') return false;
  }
  const size_t addressLength = size_t(fields[2] - fields[1] - 1);
  if (addressLength >= sizeof address) return false;
  std::memcpy(address, fields[1], addressLength);
  address[addressLength] = '\0';
  const char* q = fields[2];
  if (!TakeNumber(q, 65535, port) || *q != d) return false;
  return true;
}

}  // namespace cvftp
