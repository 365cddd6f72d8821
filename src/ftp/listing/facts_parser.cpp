// The facts of MLSD and MLST lines ("type=file;size=5;modify=20240131235959; name").
#include <cstring>

#include "ftp/listing/list_internal.h"

namespace cvftp::listing {

namespace {

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) noexcept {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

template <size_t N>
void CopyText(char (&field)[N], std::string_view text) noexcept {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

bool ParseDigits(std::string_view s, uint64_t& out) noexcept {
  char buffer[24];
  if (s.size() >= sizeof buffer) return false;
  std::memcpy(buffer, s.data(), s.size());
  buffer[s.size()] = '\0';
  return ParseU64(buffer, out);
}

void ApplyFact(std::string_view name, std::string_view value, FtpFileInfoEx& out) noexcept {
  if (EqualsNoCase(name, "size")) {
    uint64_t size = 0;
    if (ParseDigits(value, size)) out.size = size;
  } else if (EqualsNoCase(name, "type")) {
    if (EqualsNoCase(value, "dir") || EqualsNoCase(value, "cdir") || EqualsNoCase(value, "pdir")) out.directory = 1;
  } else if (EqualsNoCase(name, "modify")) {
    // A value that is no time leaves the entry undated.
    SYSTEMTIME t{};
    if (ParseTimestamp(value, t)) out.modified = t;
  } else if (EqualsNoCase(name, "perm")) {
    if (value.find('r') != std::string_view::npos) out.permissions |= 0400;
    if (value.find('w') != std::string_view::npos) out.permissions |= 0200;
  } else if (EqualsNoCase(name, "unix.mode")) {
    uint32_t mode = 0;
    for (size_t i = 0; i < value.size() && value[i] >= '0' && value[i] <= '7' && mode <= 07777777; ++i)
      mode = mode * 8 + uint32_t(value[i] - '0');
    out.permissions = mode;
  } else if (EqualsNoCase(name, "unix.uid")) {
    CopyText(out.owner, value);
  } else if (EqualsNoCase(name, "unix.gid")) {
    CopyText(out.group, value);
  }
}

}  // namespace

uint32_t ParseFacts(const char* text, FtpFileInfoEx& out) noexcept {
  out = FtpFileInfoEx{};
  if (!text || !*text) return cvErrorInvalidParameter;
  while (IsBlank(*text)) ++text;
  const char* eq = std::strchr(text, '=');
  if (!eq) return cvErrorUnexpectedServerResponse;
  // A reply line may stand in front of the facts: they begin after the last blank before
  // the first "=".
  for (const char* p = eq; p > text; --p)
    if (IsBlank(p[-1])) {
      text = p;
      break;
    }
  std::string_view all(text);
  // The facts run to the first blank and the path name is everything after it (it may
  // hold ";" and "="). Without a blank the first piece that is no fact names the entry.
  std::string_view facts = all, name;
  bool haveName = false;
  if (const size_t blank = all.find_first_of(" \t"); blank != std::string_view::npos) {
    facts = all.substr(0, blank);
    name = all.substr(blank + 1);
    haveName = true;
  }
  while (!facts.empty()) {
    const size_t semi = facts.find(';');
    const std::string_view piece = Trim(facts.substr(0, semi));
    facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
    const size_t at = piece.find('=');
    if (at == std::string_view::npos) {
      if (!haveName && !piece.empty()) {
        name = piece;
        haveName = true;
      }
      continue;
    }
    const std::string_view factName = Trim(piece.substr(0, at));
    if (factName.empty()) return cvErrorUnknownDirectoryFormat;
    const std::string_view value = Trim(piece.substr(at + 1));
    if (!value.empty()) ApplyFact(factName, value, out);
  }
  if (const size_t lf = name.find('\n'); lf != std::string_view::npos)
    name = name.substr(0, lf);
  else if (const size_t cr = name.find('\r'); cr != std::string_view::npos)
    name = name.substr(0, cr);
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  if (name.empty()) return cvErrorUnknownDirectoryFormat;
  CopyText(out.name, name);
  return 0;
}

}  // namespace cvftp::listing
