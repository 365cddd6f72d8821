// Host-name validation, IDN encoding and normalisation of user-given host text.
#include <cstring>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "platform/base/utf.h"

using cvcore::Binding;

namespace {

constexpr size_t kMaxName = 255;
constexpr size_t kMaxLabel = 63;

bool IdnAvailable() { return Binding().ws.IdnToAscii != nullptr; }

bool IsAsciiNameByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.';
}

// Length of the well-formed UTF-8 sequence at p, 0 when there is none.
size_t Utf8SequenceAt(const unsigned char* p) {
  size_t n = p[0] >= 0xF0 && p[0] <= 0xF7 ? 4 : p[0] >= 0xE0 ? (p[0] <= 0xEF ? 3 : 0) : p[0] >= 0xC0 ? 2 : 0;
  for (size_t i = 1; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return n;
}

}  // namespace

int32_t SockIsValidHostName(const char* name) {
  if (!name) return 0;
  size_t length = std::strlen(name);
  if (length < 3 || length > kMaxName || name[0] == '-' || name[0] == '.') return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(name);
  size_t label = 0;
  while (*p) {
    if (IsAsciiNameByte(*p)) {
      label = *p == '.' ? 0 : label + 1;
      if (label > kMaxLabel) return 0;
      ++p;
      continue;
    }
    size_t n = IdnAvailable() ? Utf8SequenceAt(p) : 0;
    if (n == 0) return 0;
    p += n;  // non-ASCII letters do not count towards the label length
  }
  return 1;
}

int32_t SockEncodeIdnName(const char* name, char* out) {
  auto idn = Binding().ws.IdnToAscii;
  if (!idn || !name || !out) return 0;
  // At most 255 UTF-16 characters of input, as the conversion's buffer allows.
  // (Invalid UTF-8 is refused by the IDN conversion itself.)
  size_t wide = plat::ToUtf16(name).size();
  if (wide == 0 || wide > kMaxName) return 0;
  char ascii[kMaxName + 1];
  int n = idn(name, ascii, sizeof ascii);
  if (n < 1 || size_t(n) > kMaxName) return 0;
  std::memcpy(out, ascii, size_t(n) + 1);
  return n;
}

char* SockNormalizeHostName(const char* input, char* out) {
  if (!out) return nullptr;
  out[0] = '\0';
  if (!input) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(input);
  while (*p && *p <= ' ') ++p;
  char text[kMaxName + 1];
  size_t length = 0;
  size_t numeric = 0;  // characters that may belong to an address literal
  for (; *p > ' '; ++p) {
    if (length == kMaxName) return nullptr;
    unsigned char c = *p;
    // Hex digits count in either case, so that "FE80::1" is taken as the literal it is.
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':')
      ++numeric;
    text[length++] = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (length > 0 && text[length - 1] == '.') {
    --length;
    --numeric;
  }
  text[length] = '\0';
  if (length < 3) return nullptr;

  if (numeric == length) {
    unsigned char address[16];
    for (int32_t family : {plat::kAfInet, plat::kAfInet6}) {
      if (SockInetPton(family, text, address) == 1)
        return SockInetNtop(family, address, out, kSockHostNameSize) ? out : nullptr;
    }
  }
  if (!SockIsValidHostName(text)) return nullptr;
  if (!IdnAvailable()) {
    std::memcpy(out, text, length + 1);
    return out;
  }
  int n = SockEncodeIdnName(text, out);
  if (n < 3) {
    out[0] = '\0';
    return nullptr;
  }
  return out;
}
