// One listing line into a directory entry: the format is detected from the first line
// that fits and kept for the session; UNIX and MS-DOS lines are read here, the other
// formats beside this file.
#include <cstring>
#include <new>

#include "ftp/listing/list_internal.h"

namespace cvftp::listing {

namespace {

// "drwxr-xr-x": a type letter, then the read and write places hold "-" or their letter
// (the execute places also carry s, t and their capitals, so they are not tested).
bool LooksLikeUnixMode(std::string_view t) noexcept {
  if (t.size() != 10 || !(IsLetter(t[0]) || t[0] == '-')) return false;
  static constexpr char kLetters[] = "rwxrwxrwx";
  for (size_t i : {1, 2, 4, 5, 7, 8})
    if (t[i] != '-' && t[i] != kLetters[i - 1]) return false;
  return true;
}

LineResult ParseUnix(FtpListEntry& e, LineCursor& cursor, char* first, const ParseContext& context) noexcept {
  const size_t length = std::strlen(first);
  if (first[0] == 'd') e.directory = 1;
  if (first[0] == 'l') {
    e.link = 1;
    e.permissions = kFtpPermissionLink;
  }
  static constexpr char kLetters[] = "rwxrwxrwx";
  for (size_t i = 1; i < 10 && i < length; ++i)
    if (first[i] == kLetters[i - 1]) e.permissions |= 0400u >> (i - 1);

  if (!LeadingU32(cursor.Next(), e.linkCount)) return LineResult::Unknown;
  char* owner = cursor.Next();
  char* group = cursor.Next();
  char* token = cursor.Next();
  if (!owner || !group || !token) return LineResult::Unknown;
  const char* monthToken = nullptr;
  // A month (known, or a word of an unknown language) where the size would stand.
  if (IsWord(token)) {
    // A single name column: owner and group are one, and the size stood in the group's place.
    if (!ParseU64(group, e.size)) return LineResult::Unknown;
    e.group = owner;
    e.ownerText[0] = '\0';
    e.owner = e.ownerText;
    monthToken = token;
  } else {
    if (!ParseU64(token, e.size)) return LineResult::Unknown;
    e.owner = owner;
    e.group = group;
    monthToken = cursor.Next();
  }
  if (!ParseNamedDate(cursor, e.modified, context, monthToken)) return LineResult::Unknown;
  char* name = cursor.Rest();
  if (!name) return LineResult::Unknown;
  SplitLinkTarget(e, name);
  ApplyDefaultPermissions(e, context.systemType);
  return LineResult::Entry;
}

// "01-31-24  11:15PM  <DIR>  name" or with a size in place of <DIR>.
LineResult ParseMsdos(FtpListEntry& e, LineCursor& cursor, char* first, const ParseContext& context) noexcept {
  if (!ParseNumericDate(first, e.modified)) return LineResult::Unknown;
  const char* time = cursor.Next();
  const char* p = nullptr;
  uint32_t hour = 0, minute = 0;
  if (!time || !LeadingU32(time, hour, &p) || *p != ':') return LineResult::Unknown;
  if (!IsDigit(p[1]) || !IsDigit(p[2])) return LineResult::Unknown;
  minute = uint32_t(p[1] - '0') * 10 + uint32_t(p[2] - '0');
  const std::string_view suffix(p + 3);
  if (EqualsNoCase(suffix, "AM") && hour == 12) hour = 0;
  if (EqualsNoCase(suffix, "PM") && hour < 12) hour += 12;
  if (!SetClock(e.modified, hour, minute)) return LineResult::Unknown;

  const char* sizeOrDir = cursor.Next();
  if (!sizeOrDir) return LineResult::Unknown;
  if (EqualsNoCase(sizeOrDir, "<DIR>"))
    e.directory = 1;
  else if (!ParseU64(sizeOrDir, e.size))
    return LineResult::Unknown;
  e.name = cursor.Rest();
  if (!e.name) return LineResult::Unknown;
  ApplyDefaultPermissions(e, context.systemType);
  return LineResult::Entry;
}

// An MLSD fact line: the facts are read into a record whose texts move into the entry
// (the name fits in the line's own copy, which it came from).
LineResult ParseFactLine(FtpListEntry& e) noexcept {
  FtpFileInfoEx info;
  if (ParseFacts(e.line, info) != 0) return LineResult::Unknown;
  std::strcpy(e.line, info.name);
  e.name = e.line;
  std::strcpy(e.ownerText, info.owner);
  std::strcpy(e.groupText, info.group);
  e.owner = e.ownerText;
  e.group = e.groupText;
  e.directory = info.directory;
  e.size = info.size;
  e.permissions = info.permissions;
  e.modified = info.modified;
  return LineResult::Entry;
}

}  // namespace

uint32_t DetectFormat(std::string_view t, uint32_t systemType) noexcept {
  if (t.empty()) return 0;
  switch (systemType) {
    case kSystemUnix:
      if (LooksLikeUnixMode(t)) return kFtpFormatUnix;
      break;
    case kSystemMsdos:
    case kSystemWindows:
      if (IsDigit(t[0])) return kFtpFormatMsdos;
      break;
    case kSystemVms:
      if (t.find_first_of(".;") != std::string_view::npos) return kFtpFormatVms;
      break;
    case kSystemNetWare:
      if (std::strchr("-DdLl", t[0]) && (t.size() == 1 || t[1] == '[')) return kFtpFormatNetWare;
      break;
    default:
      break;
  }
  if (LooksLikeUnixMode(t)) return kFtpFormatUnix;
  if (t.size() >= 8 && t.find_first_not_of(" \t\r\n0123456789-/") == std::string_view::npos) return kFtpFormatMsdos;
  if (t.size() == 10 || t.size() == 13) {
    bool letters = true;
    for (size_t i = 0; i < 10; ++i) letters = letters && (IsLetter(t[i]) || t[i] == '-');
    if (letters) return t.size() == 13 ? kFtpFormatSterling1 : kFtpFormatSterling2;
  }
  return 0;
}

size_t EntryBlockSize(size_t length) noexcept { return sizeof(FtpListEntry) + length + 1; }

FtpListEntry* PlaceEntry(void* block, std::string_view line) noexcept {
  auto* e = new (block) FtpListEntry{};
  e->line = reinterpret_cast<char*>(e + 1);
  std::memcpy(e->line, line.data(), line.size());
  e->line[line.size()] = '\0';
  return e;
}

LineResult ParseLine(FtpListEntry& e, const ParseContext& context, uint32_t& format) noexcept {
  if (!e.line || !*e.line) return LineResult::Unknown;
  if (!context.sftp && format == kFtpFormatMlsd) return ParseFactLine(e);
  LineCursor cursor(e.line);
  char* first = cursor.Next();
  if (!first) return LineResult::Unknown;
  uint32_t f = context.sftp ? kFtpFormatSftp : format;
  if (f == kFtpFormatAutoDetect) {
    f = DetectFormat(first, context.systemType);
    if (!f) return LineResult::Unknown;
    format = f;
  }
  switch (f) {
    case kFtpFormatUnix:
      return ParseUnix(e, cursor, first, context);
    case kFtpFormatMsdos:
      return ParseMsdos(e, cursor, first, context);
    case kFtpFormatVms:
      return ParseVms(e, cursor, first);
    case kFtpFormatSterling1:
    case kFtpFormatSterling2:
      return ParseSterling(e, cursor, first, f, context);
    case kFtpFormatNetWare:
      return ParseNetWare(e, cursor, first, context);
    case kFtpFormatSftp:
      return ParseSftpLine(e, cursor, first);
    default:
      return LineResult::Unknown;
  }
}

}  // namespace cvftp::listing
