// Listing lines of VMS, Sterling and NetWare servers, and the line form of SFTP entries.
#include <cstring>

#include "ftp/listing/list_internal.h"

namespace cvftp::listing {

namespace {

constexpr LineResult kUnknown = LineResult::Unknown;

// The leading decimal number of a token, without overflow.
bool LeadingU64(const char* text, uint64_t& out) noexcept {
  if (!text || !IsDigit(*text)) return false;
  uint64_t v = 0;
  for (; IsDigit(*text); ++text) {
    const uint64_t d = uint64_t(*text - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

// "14-DEC-2023": day, month by name, year of four digits or two (1900 + y, or 2000 + y
// below 60).
bool ParseVmsDate(const char* token, SYSTEMTIME& t) noexcept {
  uint32_t day = 0, year = 0;
  const char* p = nullptr;
  if (!LeadingU32(token, day, &p) || *p != '-') return false;
  const char* monthStart = p + 1;
  const char* monthEnd = std::strchr(monthStart, '-');
  if (!monthEnd || monthEnd - monthStart >= 16) return false;
  char month[16];
  std::memcpy(month, monthStart, size_t(monthEnd - monthStart));
  month[monthEnd - monthStart] = '\0';
  const char* y = monthEnd + 1;
  return ExpandYear(y, std::strlen(y), 1960, year) && SetDate(t, year, FtpMonthFromName(month), day);
}

// "(RWED,RWED,RE,)": system, owner, group and world rights; the last three give the
// Unix read, write and execute bits of their class.
bool ParseVmsProtection(const char* token, uint32_t& permissions) noexcept {
  if (token[0] != '(') return false;
  const char* end = std::strchr(token, ')');
  const std::string_view fields(token + 1, end ? size_t(end - token - 1) : std::strlen(token + 1));
  size_t commas = 0;
  for (char c : fields) commas += c == ',';
  if (commas < 2) return false;
  uint32_t field = 0;
  for (char c : fields) {
    if (c == ',') {
      ++field;
      continue;
    }
    if (field < 1 || field > 3) continue;
    const unsigned shift = 3 * (3 - field);  // owner 6, group 3, world 0
    if (c == 'R') permissions |= 04u << shift;
    if (c == 'W') permissions |= 02u << shift;
    if (c == 'E') permissions |= 01u << shift;
  }
  return true;
}

}  // namespace

LineResult ParseVms(FtpListEntry& e, LineCursor& cursor, char* first) noexcept {
  if (char* semi = std::strrchr(first, ';')) {
    *semi = '\0';
    LeadingU32(semi + 1, e.version);
  }
  if (char* dot = std::strrchr(first, '.'); dot && EqualsNoCase(dot + 1, "DIR")) {
    *dot = '\0';
    e.directory = 1;
  }
  e.name = first;
  const char* blocks = cursor.Next();
  if (!blocks) return LineResult::Incomplete;  // a long name: the details are on the next line
  uint64_t count = 0;
  if (!LeadingU64(blocks, count) || count > UINT64_MAX / 512) return kUnknown;
  e.size = count * 512;
  const char* date = cursor.Next();
  if (!date || !ParseVmsDate(date, e.modified)) return kUnknown;
  char* token = cursor.Next();
  if (token && std::strchr(token, ':')) {
    if (!SetTimeOfDay(e.modified, token)) return kUnknown;
    token = cursor.Next();
  }
  if (!token) {
    e.permissions = 0777;
    e.owner = e.ownerText;
    e.group = e.groupText;
    return LineResult::Entry;
  }
  if (token[0] != '[') return LineResult::Entry;
  char* close = std::strchr(token, ']');
  if (!close) return kUnknown;
  *close = '\0';
  char* inside = token + 1;
  if (char* comma = std::strchr(inside, ',')) {
    *comma = '\0';
    e.group = inside;
    e.owner = comma + 1;
  } else {
    e.owner = inside;
    e.group = e.groupText;
  }
  const char* protection = cursor.Next();
  if (!protection || !ParseVmsProtection(protection, e.permissions)) return kUnknown;
  return LineResult::Entry;
}

LineResult ParseSterling(FtpListEntry& e, LineCursor& cursor, char* first, uint32_t format,
                         const ParseContext& context) noexcept {
  const size_t length = std::strlen(first);
  if (length != (format == kFtpFormatSterling1 ? 13u : 10u)) return kUnknown;
  for (size_t i = 0; i < 10; ++i) {
    const char c = Upper(first[i]);
    if (c == '-') continue;
    if (c < 'A' || c > 'Z') return kUnknown;
    e.permissions |= 1u << (c - 'A');
  }
  if (format == kFtpFormatSterling1) {
    static constexpr struct {
      const char* name;
      uint32_t bit;
    } kStatus[] = {{"TCP", kFtpSterlingStatusTcp}, {"FTP", kFtpSterlingStatusFtp}, {"BSC", kFtpSterlingStatusBsc},
                   {"ASC", kFtpSterlingStatusAsc}, {"FTS", kFtpSterlingStatusFts}};
    uint32_t bit = kFtpSterlingStatusOther;
    for (const auto& s : kStatus)
      if (EqualsNoCase(first + 10, s.name)) bit = s.bit;
    e.permissions |= bit;
  }
  const char* owner = cursor.Next();
  const char* second = cursor.Next();
  const char* group = cursor.Next();
  if (!owner || !second || !group) return kUnknown;
  if (format == kFtpFormatSterling2 && std::strcmp(owner, "1") == 0) e.permissions |= kFtpSterlingStatusFtp;
  e.owner = owner;
  if (std::strlen(owner) + 1 + std::strlen(second) <= 254) {
    std::strcpy(e.ownerText, owner);
    std::strcat(e.ownerText, " ");
    std::strcat(e.ownerText, second);
    e.owner = e.ownerText;
  }
  e.group = group;
  if (format == kFtpFormatSterling2 && 1 + std::strlen(group) <= 254) {
    e.groupText[0] = '#';
    std::strcpy(e.groupText + 1, group);
    e.group = e.groupText;
  }
  if (!ParseU64(cursor.Next(), e.size)) return kUnknown;
  if (!ParseNamedDate(cursor, e.modified, context, cursor.Next())) return kUnknown;
  e.name = cursor.Rest();
  return e.name ? LineResult::Entry : kUnknown;
}

LineResult ParseNetWare(FtpListEntry& e, LineCursor& cursor, char* first, const ParseContext& context) noexcept {
  if (first[0] == 'd') e.directory = 1;
  if (first[0] == 'l') {
    e.link = 1;
    e.permissions = kFtpPermissionLink;
  }
  const char* rights = first[1] == '[' ? first + 1 : cursor.Next();
  if (!rights || rights[0] != '[') return kUnknown;
  const char* close = std::strchr(rights, ']');
  if (!close) return kUnknown;
  for (const char* p = rights + 1; p < close; ++p) {
    const char c = Upper(*p);
    if (c == 'R') e.permissions |= 0644;
    if (c == 'W') e.permissions |= 0222;
    if (c == 'F') e.permissions |= 0444;
  }
  e.owner = cursor.Next();
  if (!e.owner || !ParseU64(cursor.Next(), e.size)) return kUnknown;
  if (!ParseNamedDate(cursor, e.modified, context, cursor.Next())) return kUnknown;
  char* name = cursor.Rest();
  if (!name) return kUnknown;
  SplitLinkTarget(e, name);
  return LineResult::Entry;
}

LineResult ParseSftpLine(FtpListEntry& e, LineCursor& cursor, char* first) noexcept {
  uint64_t mode = 0;
  if (!ParseU64(first, mode) || mode > UINT32_MAX) return kUnknown;
  if (mode & 0x2000) e.link = 1;
  if (mode & 0x4000) e.directory = 1;
  e.permissions = uint32_t(mode) & 0xFFF;
  if (!LeadingU32(cursor.Next(), e.linkCount)) return kUnknown;
  e.owner = cursor.Next();
  e.group = cursor.Next();
  if (!e.owner || !e.group || !ParseU64(cursor.Next(), e.size)) return kUnknown;
  const char* date = cursor.Next();
  const char* time = cursor.Next();
  if (!date || !time || !ParseNumericDate(date, e.modified) || !SetTimeOfDay(e.modified, time)) return kUnknown;
  e.name = cursor.Rest();
  return e.name ? LineResult::Entry : kUnknown;
}

}  // namespace cvftp::listing
