// The status of one remote file (MLST, else a STAT listing line), its modification time
// (MDTM and the commands that set it) and its permissions (SITE CHMOD). A server that
// answers a command with 500 to 504 loses that feature for the rest of the session.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "ftp/ftp_directory.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "ftp/listing/list_parser.h"
#include "platform/base/time.h"

namespace cvftp {

namespace {

// Links are followed this many times at most (a link may point at itself).
constexpr int kLinkHops = 8;

// A command whose failing reply decides a fallback: the reply code of an earlier command
// must not be mistaken for this one's when the channel fails before a reply arrives.
Result<int32_t> Command(FtpSession& s, const char* command, const char* argument) noexcept {
  s.replyCode = 0;
  return SendCommand(s, command, argument, cvErrorInvalidFileName);
}

// The lines of a reply after its first one (the entry of MLST and STAT replies).
const char* AfterFirstLine(const FtpSession& s) noexcept {
  const char* lf = std::strchr(s.replyRaw, '\n');
  return lf ? lf + 1 : nullptr;
}

// A line of facts begins with "name=value;" where a listing line begins with its mode.
bool IsFactLine(const char* line) noexcept {
  while (*line == ' ') ++line;
  const char* end = line + std::strcspn(line, " \t\r\n");
  const char* eq = std::strchr(line, '=');
  const char* semi = std::strchr(line, ';');
  return eq && semi && eq < end && semi < end;
}

enum class InfoSource { Facts, Listing };

Status FromFacts(const char* text, FtpFileInfoEx& info) noexcept { return Status(listing::ParseFacts(text, info)); }

Status QueryInfo(FtpSession& s, const char* name, FtpFileInfoEx& info, InfoSource& source, int hops) noexcept;

// The entry line of a STAT reply, parsed as a listing line of its own.
Status FromStatLine(FtpSession& s, const char* name, FtpFileInfoEx& info, InfoSource& source, int hops) noexcept {
  const char* text = AfterFirstLine(s);
  if (!text) return Status(cvErrorUnknownDirectoryFormat);
  if (IsFactLine(text)) {
    source = InfoSource::Facts;
    return FromFacts(text, info);
  }
  const char* line = text;
  std::string entryLine(line, std::strcspn(line, "\n"));
  const size_t start = entryLine.find_first_not_of(' ');
  if (s.systemType == listing::kSystemUnix && start != std::string::npos &&
      strncasecmp(entryLine.c_str() + start, "total ", 6) == 0) {
    const char* next = std::strchr(line, '\n');
    if (!next) return Status(cvErrorUnknownDirectoryFormat);
    line = next + 1;
    entryLine.assign(line, std::strcspn(line, "\n"));
  }
  // The reply's last line follows at once: the server listed nothing for the name.
  const std::string code = std::to_string(s.replyCode) + " ";
  if (entryLine.compare(0, code.size(), code) == 0) return Status(cvErrorFileNotFound);

  const uint32_t format = s.directoryFormat;
  s.directoryFormat = kFtpFormatAutoDetect;  // this line alone decides its format
  const Result<FtpListEntry*> parsed = ParseListLine(s, entryLine.c_str());
  s.directoryFormat = format;
  FtpListEntry* entry = parsed.ok() ? parsed.value() : nullptr;
  if (!entry) {
    for (char& c : entryLine) c = char(std::tolower(static_cast<unsigned char>(c)));
    const bool missing = entryLine.find("no such file") != std::string::npos ||
                         entryLine.find("file not found") != std::string::npos;
    return Status(missing ? cvErrorFileNotFound : cvErrorUnknownDirectoryFormat);
  }
  if (entry->link && entry->linkTarget && *entry->linkTarget && hops < kLinkHops) {
    const std::string target = entry->linkTarget;
    FreeEntry(s, entry);
    const Status followed = QueryInfo(s, target.c_str(), info, source, hops + 1);
    if (followed.ok()) CopyField(info.name, name);
    return followed;
  }
  listing::FillInfo(*entry, info);
  CopyField(info.name, name);
  FreeEntry(s, entry);
  return {};
}

Status QueryInfo(FtpSession& s, const char* name, FtpFileInfoEx& info, InfoSource& source, int hops) noexcept {
  info = FtpFileInfoEx{};
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorOperationInProgress);
  if (s.features & kFeatureMlst) {
    const Result<int32_t> r = Command(s, "MLST", name);
    if (Gone(s)) return kSessionGone;
    if (r.ok()) {
      source = InfoSource::Facts;
      const char* text = AfterFirstLine(s);
      return FromFacts(text ? text : s.replyText, info);
    }
    if (!NotImplemented(s)) return r.status();
    s.features &= ~kFeatureMlst;
  }
  if (!(s.features & kFeatureStat)) return Status(cvErrorFeatureNotSupported);
  const Result<int32_t> r = Command(s, "STAT", name);
  if (Gone(s)) return kSessionGone;
  if (!r.ok()) {
    if (!NotImplemented(s)) return r.status();
    s.features &= ~kFeatureStat;
    return Status(cvErrorFeatureNotSupported);
  }
  source = InfoSource::Listing;
  return FromStatLine(s, name, info, source, hops);
}

Status QueryInfoChecked(FtpSession& s, const char* name, FtpFileInfoEx* info, InfoSource& source) noexcept {
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (!info) return Status(cvErrorInvalidParameter);
  if (std::strpbrk(name, "?*")) return Status(cvErrorInvalidFileName);
  if (IsSftpSession(s)) return sftp::QueryFileInfo(s, name, info);
  return QueryInfo(s, name, *info, source, 0);
}

// "YYYYMMDDHHMMSS" at the start of an MDTM reply (after blanks); fractions are ignored
// and the day of the week stays 0.
bool ParseMdtm(const char* text, SYSTEMTIME& t) noexcept {
  char copy[64];
  CopyField(copy, text);
  const char* p = copy;
  while (*p == ' ') ++p;
  if (!listing::ParseTimestamp(p, t)) return false;
  t.wDayOfWeek = 0;
  return true;
}

Result<int32_t> GetFileTime(FtpSession& s, const char* name, SYSTEMTIME* time, bool local) noexcept {
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (!time) return Status(cvErrorInvalidParameter);
  *time = SYSTEMTIME{};
  if (IsSftpSession(s)) {
    if (const Status got = sftp::GetFileTime(s, name, time, local); !got.ok()) return got;
    return 0;
  }
  if (s.features & kFeatureMdtm) {
    const Result<int32_t> r = Command(s, "MDTM", name);
    if (Gone(s)) return kSessionGone;
    if (r.ok()) {
      SYSTEMTIME utc{};
      if (!ParseMdtm(s.replyText, utc)) return Status(cvErrorUnexpectedServerResponse);
      if (!local || !plat::SystemTimeToLocalTime(&utc, time)) *time = utc;
      return r;
    }
    if (ReplyMissing(s)) return r;
    if (s.replyCode == 550) return Status(cvErrorFileNotFound);
    s.features &= ~kFeatureMdtm;
  }
  if (!(s.features & kFeatureStat)) return Status(cvErrorFeatureNotSupported);
  FtpFileInfoEx info;
  InfoSource source = InfoSource::Listing;
  if (const Status queried = QueryInfoChecked(s, name, &info, source); !queried.ok()) return queried;
  // Listing lines date files in the server's local time, facts in UTC.
  const bool isUtc = source == InfoSource::Facts;
  if (isUtc && local) {
    if (!plat::SystemTimeToLocalTime(&info.modified, time)) *time = info.modified;
  } else if (!isUtc && !local) {
    if (!plat::LocalTimeToSystemTime(&info.modified, time)) *time = info.modified;
  } else {
    *time = info.modified;
  }
  return 213;
}

Result<int32_t> SetFileTime(FtpSession& s, const char* name, const SYSTEMTIME* time) noexcept {
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (!time) return Status(cvErrorInvalidParameter);
  if (IsSftpSession(s)) {
    if (const Status set = sftp::SetFileTime(s, name, time); !set.ok()) return set;
    return 0;
  }
  // A name too long for a command line is refused, never cut (that would name another file).
  char argument[kFtpCommandLineSize];
  char utime[kFtpCommandLineSize + 8];
  const int n = std::snprintf(argument, sizeof argument, "%04hu%02hu%02hu%02hu%02hu%02hu %s", time->wYear,
                              time->wMonth, time->wDay, time->wHour, time->wMinute, time->wSecond, name);
  if (n < 0 || size_t(n) >= sizeof argument) return Status(cvErrorInvalidFileName);
  std::snprintf(utime, sizeof utime, "UTIME %s", argument);
  const struct {
    uint32_t bit;
    const char* command;
    const char* argument;
  } kTries[] = {{kFeatureMfmt, "MFMT", argument}, {kFeatureMdtm, "MDTM", argument}, {kFeatureUtime, "SITE", utime}};
  for (const auto& t : kTries) {
    if (!(s.features & t.bit)) continue;
    const Result<int32_t> r = Command(s, t.command, t.argument);
    if (Gone(s)) return kSessionGone;
    if (r.ok() || ReplyMissing(s)) return r;
    if (NotImplemented(s)) s.features &= ~t.bit;
  }
  return Status(cvErrorFeatureNotSupported);
}

// The permissions of a remote file from its status; the reply code.
Result<int32_t> GetFilePermissions(FtpSession& s, const char* name, uint32_t* mode) noexcept {
  if (!mode) return Status(cvErrorInvalidParameter);
  *mode = 0;
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (IsSftpSession(s)) {
    if (const Status got = sftp::GetFilePermissions(s, name, mode); !got.ok()) return got;
    return 1;
  }
  if (!(s.features & kFeatureStat)) return Status(cvErrorFeatureNotSupported);
  FtpFileInfoEx info;
  InfoSource source = InfoSource::Listing;
  if (const Status queried = QueryInfoChecked(s, name, &info, source); !queried.ok()) return queried;
  *mode = info.permissions;
  return int32_t(s.replyCode);
}

// SITE CHMOD; the reply code.
Result<int32_t> SetFilePermissions(FtpSession& s, const char* name, uint32_t mode) noexcept {
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (IsSftpSession(s)) {
    if (const Status set = sftp::SetFilePermissions(s, name, mode); !set.ok()) return set;
    return 1;
  }
  if ((s.features & (kFeatureSite | kFeatureChmod)) != (kFeatureSite | kFeatureChmod))
    return Status(cvErrorFeatureNotSupported);
  char argument[kFtpCommandLineSize];
  const int n = std::snprintf(argument, sizeof argument, "CHMOD %03o %s", mode, name);
  if (n < 0 || size_t(n) >= sizeof argument) return Status(cvErrorInvalidFileName);
  const Result<int32_t> r = Command(s, "SITE", argument);
  if (!r.ok() && !Gone(s) && NotImplemented(s)) {
    s.features &= ~kFeatureChmod;
    return Status(cvErrorFeatureNotSupported);
  }
  return r;
}

}  // namespace

Status QueryFileInfo(FtpSession& s, const char* name, FtpFileInfoEx* info) noexcept {
  InfoSource source = InfoSource::Listing;
  return QueryInfoChecked(s, name, info, source);
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpQueryFileInfo(LibHandle handle, const char* name, FtpFileInfoEx* info) {
  Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::QueryFileInfo(s, name, info), 1, 0);
}

int32_t FtpGetFileStatus(LibHandle handle, const char* name, FtpFileInfo* info) {
  if (!info) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 1, 0);
  *info = FtpFileInfo{};
  FtpFileInfoEx ex;
  const int32_t r = FtpQueryFileInfo(handle, name, &ex);
  if (r) cvftp::listing::NarrowInfo(ex, *info);
  return r;
}

int32_t FtpGetFileTime(LibHandle handle, const char* name, SYSTEMTIME* time, uint32_t local) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::GetFileTime(s, name, time, local != 0), -1);
}

int32_t FtpSetFileTime(LibHandle handle, const char* name, const SYSTEMTIME* time) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::SetFileTime(s, name, time), -1);
}

int32_t FtpGetFilePermissions(LibHandle handle, const char* name, uint32_t* mode) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::GetFilePermissions(s, name, mode), -1);
}

int32_t FtpSetFilePermissions(LibHandle handle, const char* name, uint32_t mode) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::SetFilePermissions(s, name, mode), -1);
}
