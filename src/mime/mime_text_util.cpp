// Small text helpers of the library.
#include <cstring>

#include "mime/mime_internal.h"

namespace cvmime {

namespace {
char Lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
}  // namespace

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IEquals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IStartsWith(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s) noexcept {
  while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsWhite(s.back())) s.remove_suffix(1);
  return s;
}

std::string NormalizeSpace(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool pendingBlank = false;
  for (char c : Trim(s)) {
    if (IsWhite(c)) {
      pendingBlank = true;
      continue;
    }
    if (pendingBlank) out.push_back(' ');
    pendingBlank = false;
    out.push_back(c);
  }
  return out;
}

std::string NormalizeHeaderName(std::string_view s) {
  std::string name = NormalizeSpace(s);
  while (!name.empty() && (name.back() == ' ' || name.back() == ':')) name.pop_back();
  bool upper = true;
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 33 || u > 126 || c == ':') return {};
    if (upper && c >= 'a' && c <= 'z') c = char(c - 32);
    upper = c == '-';
  }
  return name;
}

std::string_view BaseName(std::string_view path) noexcept {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

int32_t CopyOut(std::string_view text, char* buffer, int32_t size) noexcept {
  if (!buffer || size < 1) return 0;
  const size_t n = std::min(text.size(), size_t(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return int32_t(n);
}

}  // namespace cvmime
