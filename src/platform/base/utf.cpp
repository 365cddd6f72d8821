#include "platform/base/utf.h"

#include "platform/base/last_error.h"

namespace plat {

namespace {

// Decodes one code point starting at s[i] (i < n) and advances i. Ill-formed input yields
// U+FFFD for the longest prefix that could have started a valid sequence.
char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
  unsigned char b = s[i++];
  if (b < 0x80) return b;
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1, cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2, cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no encoded surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3, cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return kReplacementChar;
  }
  for (int k = 0; k < need; ++k) {
    if (i >= n || s[i] < lo || s[i] > hi) return kReplacementChar;
    cp = (cp << 6) | (s[i++] & 0x3F);
    lo = 0x80, hi = 0xBF;
  }
  return cp;
}

char32_t DecodeUtf16(const char16_t* s, size_t n, size_t& i) {
  char16_t u = s[i++];
  if (u < 0xD800 || u > 0xDFFF) return u;
  if (u <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
    char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(s[i]) - 0xDC00);
    ++i;
    return cp;
  }
  return kReplacementChar;  // lone surrogate
}

int Utf16Units(char32_t cp) { return cp >= 0x10000 ? 2 : 1; }
int Utf8Units(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

void PutUtf16(char32_t cp, char16_t* out) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out[0] = char16_t(0xD800 + (cp >> 10));
    out[1] = char16_t(0xDC00 + (cp & 0x3FF));
  } else {
    out[0] = char16_t(cp);
  }
}

void PutUtf8(char32_t cp, char* out) {
  switch (Utf8Units(cp)) {
    case 1: out[0] = char(cp); break;
    case 2:
      out[0] = char(0xC0 | (cp >> 6));
      out[1] = char(0x80 | (cp & 0x3F));
      break;
    case 3:
      out[0] = char(0xE0 | (cp >> 12));
      out[1] = char(0x80 | ((cp >> 6) & 0x3F));
      out[2] = char(0x80 | (cp & 0x3F));
      break;
    default:
      out[0] = char(0xF0 | (cp >> 18));
      out[1] = char(0x80 | ((cp >> 12) & 0x3F));
      out[2] = char(0x80 | ((cp >> 6) & 0x3F));
      out[3] = char(0x80 | (cp & 0x3F));
  }
}

// The shared counting/writing loop of both buffer conversions.
template <typename In, typename Out, typename Decode, typename Units, typename Put>
int32_t Convert(const In* src, int32_t srcLen, Out* dst, int32_t dstLen, Decode decode, Units units, Put put) {
  if (src == nullptr || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && dst == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (srcLen == -1) {
    while (src[n] != 0) ++n;
    ++n;  // the terminator is converted too
  } else {
    n = size_t(srcLen);
  }
  size_t written = 0;
  for (size_t i = 0; i < n;) {
    char32_t cp = decode(src, n, i);
    size_t u = size_t(units(cp));
    if (dstLen > 0) {
      if (written + u > size_t(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
      }
      put(cp, dst + written);
    }
    written += u;
    if (written > size_t(INT32_MAX)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
  }
  return int32_t(written);
}

}  // namespace

int32_t MultiByteToWideChar(const char* src, int32_t srcLen, char16_t* dst, int32_t dstLen) noexcept {
  return Convert(
      src, srcLen, dst, dstLen,
      [](const char* s, size_t n, size_t& i) { return DecodeUtf8(reinterpret_cast<const unsigned char*>(s), n, i); },
      Utf16Units, PutUtf16);
}

int32_t WideCharToMultiByte(const char16_t* src, int32_t srcLen, char* dst, int32_t dstLen) noexcept {
  return Convert(src, srcLen, dst, dstLen, DecodeUtf16, Utf8Units, PutUtf8);
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  char16_t buf[2];
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = DecodeUtf8(s, utf8.size(), i);
    PutUtf16(cp, buf);
    out.append(buf, size_t(Utf16Units(cp)));
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  char buf[4];
  for (size_t i = 0; i < utf16.size();) {
    char32_t cp = DecodeUtf16(utf16.data(), utf16.size(), i);
    PutUtf8(cp, buf);
    out.append(buf, size_t(Utf8Units(cp)));
  }
  return out;
}

size_t WideLength(const char16_t* s) noexcept {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

}  // namespace plat
