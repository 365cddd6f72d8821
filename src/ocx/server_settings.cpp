#include "ocx/server_settings.h"

#include <algorithm>
#include <cctype>

namespace ocx {

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return std::min(std::max(v, lo), hi); }

std::string CanonicalUuid(std::string text) {
  if (text.size() > 39) return {};
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') text = text.substr(1, text.size() - 2);
  if (text.size() != 36) return {};
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return {};
    text[i] = char(std::tolower(static_cast<unsigned char>(text[i])));
  }
  return text;
}

}  // namespace ocx
