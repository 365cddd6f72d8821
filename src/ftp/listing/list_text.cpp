// Tokens and numbers of listing lines.
#include <cstring>

#include "ftp/listing/list_internal.h"

namespace cvftp::listing {

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

char* LineCursor::Next() noexcept {
  while (*p_ && IsSeparator(*p_)) ++p_;
  if (!*p_) return nullptr;
  char* start = p_;
  while (*p_ && !IsSeparator(*p_)) ++p_;
  if (*p_) *p_++ = '\0';
  return start;
}

char* LineCursor::Rest() noexcept {
  while (*p_ == ' ' || *p_ == '\t') ++p_;
  char* start = p_;
  while (*p_ && *p_ != '\r' && *p_ != '\n') ++p_;
  *p_ = '\0';
  return *start ? start : nullptr;
}

bool ParseU64(const char* text, uint64_t& out) noexcept {
  if (!text || !IsDigit(*text)) return false;
  uint64_t v = 0;
  for (; *text; ++text) {
    if (!IsDigit(*text)) return false;
    const uint64_t d = uint64_t(*text - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

bool LeadingU32(const char* text, uint32_t& out, const char** end) noexcept {
  if (!text || !IsDigit(*text)) return false;
  uint64_t v = 0;
  for (; IsDigit(*text); ++text) {
    v = v * 10 + uint64_t(*text - '0');
    if (v > UINT32_MAX) v = UINT32_MAX;
  }
  out = uint32_t(v);
  if (end) *end = text;
  return true;
}

void SplitLinkTarget(FtpListEntry& e, char* name) noexcept {
  e.name = name;
  if (!e.link) return;
  if (char* arrow = std::strstr(name, " -> ")) {
    *arrow = '\0';
    e.linkTarget = arrow + 4;
  } else {
    e.directory = 1;
  }
}

void ApplyDefaultPermissions(FtpListEntry& e, uint32_t systemType) noexcept {
  if (systemType != kSystemMsdos && systemType != kSystemWindows && systemType != kSystemOther) return;
  if (e.permissions) return;
  if (e.directory) {
    e.permissions = 0666;
    return;
  }
  e.permissions = 0444;
  const char* dot = e.name ? std::strrchr(e.name, '.') : nullptr;
  if (!dot) return;
  for (const char* ext : {"BAT", "CMD", "COM", "EXE", "PIF"})
    if (EqualsNoCase(dot + 1, ext)) e.permissions |= 0111;
}

}  // namespace cvftp::listing
