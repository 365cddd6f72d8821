#pragma once
// UTF-8 <-> UTF-16 conversions. Invalid UTF-8 (each maximal ill-formed subpart) and lone
// surrogates become U+FFFD; nothing is dropped silently and no input is rejected.
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// Buffer forms with the counting rules of the classic conversion calls:
// - srcLen -1: src is NUL-terminated and the terminator is converted and counted;
//   otherwise exactly srcLen units are converted (no terminator is added).
// - srcLen 0 or a null src: 0, last error ERROR_INVALID_PARAMETER.
// - dstLen 0: nothing is written; the result is the number of units needed.
// - dst too small: 0, last error ERROR_INSUFFICIENT_BUFFER.
// Otherwise the result is the number of units written.
int32_t MultiByteToWideChar(const char* src, int32_t srcLen, char16_t* dst, int32_t dstLen) noexcept;
int32_t WideCharToMultiByte(const char16_t* src, int32_t srcLen, char* dst, int32_t dstLen) noexcept;

std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// Length of a NUL-terminated UTF-16 string in units.
size_t WideLength(const char16_t* s) noexcept;

}  // namespace plat
