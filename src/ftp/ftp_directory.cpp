// Opening and closing a directory listing, reading it line by line into the entry list,
// and the directory format of a session.
#include <cstring>
#include <strings.h>

#include "ftp/ftp_directory.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_transfer.h"
#include "ftp/listing/list_parser.h"

namespace cvftp {

namespace {

const char* SkipBlanks(const char* path) noexcept {
  if (!path) return nullptr;
  while (*path == ' ') ++path;
  return *path ? path : nullptr;
}

// The listing ran in ASCII type although the session keeps another: a listing that did
// not open puts the server back to the session's type, or the next transfer would run in
// the wrong one. The listing's own failure is what the caller hears.
void RestoreType(FtpSession& s, bool sent) noexcept {
  if (!sent || Gone(s)) return;
  static_cast<void>(SendSessionType(s));
}

// Sends the listing command over a new data connection; the reply code (125 or 150).
Result<int32_t> OpenListing(FtpSession& s, const char* command, const char* path) noexcept {
  if (s.proxyType == kProxyOther) {
    // What they learn is kept in the session; their refusals are no concern of the listing.
    if (s.systemType == 0) static_cast<void>(GetSystemType(s));
    if (!Gone(s) && s.currentDirectory[0] == '\0') static_cast<void>(QueryWorkingDirectory(s));
    if (Gone(s)) return kSessionGone;
  }
  const bool sentType = s.fileType != kTypeAscii;
  if (sentType) {
    s.replyCode = 0;
    const Result<int32_t> r = SendCommand(s, "TYPE", "A");
    if (Gone(s)) return kSessionGone;
    if (!r.ok() || r.value() != 200)
      return ReplyMissing(s) && !r.ok() ? r.status() : Status(cvErrorInvalidServerResponse);
  }
  if (const Status opened = OpenDataConnection(s, kDirectionReceive, 0); !opened.ok()) {
    RestoreType(s, sentType);
    return GoneOr(s, opened);
  }
  const Result<int32_t> r = SendCommand(s, command, path, cvErrorInvalidFileName);
  if (Gone(s)) return kSessionGone;
  if (!r.ok() || (r.value() != 125 && r.value() != 150)) {
    CloseDataChannel(s);
    RestoreType(s, sentType);
    return r.ok() ? Status(cvErrorConnectionOpen) : NameDataRefusal(s, r.status());
  }
  if (!s.passive)
    if (const Status accepted = AcceptDataConnection(s); !accepted.ok()) {
      if (Gone(s)) return kSessionGone;
      // The server reports the failed connection: that reply is read before the next command.
      OweReply(s);
      CloseDataChannel(s);
      RestoreType(s, sentType);
      return accepted;
    }
  if (const Status protectedData = ProtectDataChannel(s); !protectedData.ok()) {
    // Only the data connection failed: the session goes on, and the server's reply to
    // the failed listing is read before the next command.
    CloseDataChannel(s);
    OweReply(s);
    RestoreType(s, sentType);
    return protectedData;
  }
  ClearEntries(s);
  s.listingTypeOverride = 1;
  SetState(s, FtpState::Listing);
  return r;
}

// An entry parsed from a listing line joins the list. A line that is no entry is passed
// over (a VMS name whose details follow is kept in the line buffer unless atEnd); only
// an entry lost to the heap fails.
Status TakeLine(FtpSession& s, const char* line, bool atEnd, uint32_t* done) noexcept {
  const Result<FtpListEntry*> entry = ParseListLine(s, line);
  if (entry.ok() && entry.value()) {
    AppendEntry(s, entry.value());
    *done = 1;
    return {};
  }
  if (entry.error() == cvErrorOutOfMemory) return entry.status();  // a lost entry must not read as a complete listing
  if (entry.ok() && !atEnd) s.listingLineLength = uint32_t(std::strlen(line));
  return {};
}

}  // namespace

Result<int32_t> OpenDirectory(FtpSession& s, const char* path) noexcept {
  path = SkipBlanks(path);
  // SFTP reads and stores the whole listing at once; entries are parsed as they are read.
  if (IsSftpSession(s)) {
    if (const Status opened = sftp::OpenDirectory(s, path); !opened.ok()) return opened;
    ClearEntries(s);
    return 0;
  }
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  if (s.directoryFormat == kFtpFormatAutoDetect && (s.features & kFeatureMlst)) s.directoryFormat = kFtpFormatMlsd;
  if (s.directoryFormat == kFtpFormatMlsd && path && std::strpbrk(path, "*?"))
    s.directoryFormat = kFtpFormatAutoDetect;  // MLSD takes no wildcards
  return OpenListing(s, s.directoryFormat == kFtpFormatMlsd ? "MLSD" : "LIST", path);
}

Result<int32_t> OpenFileList(FtpSession& s, const char* path, uint32_t listType) noexcept {
  path = SkipBlanks(path);
  if (IsSftpSession(s)) return Status(cvErrorOperationNotSupported);
  if (listType == 1 &&
      (s.directoryFormat == kFtpFormatSterling1 || s.directoryFormat == kFtpFormatSterling2))
    return Status(cvErrorOptionNotSupported);
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  return OpenListing(s, listType == 1 ? "NLST" : "LIST", path);
}

Status ReadListLine(FtpSession& s, uint32_t* done) noexcept {
  if (!done) return Status(cvErrorInvalidParameter);
  *done = 0;
  if (s.cancelRequested.exchange(0)) {
    s.cancelSignal.Reset();
    return Status(cvErrorOperationCanceled);
  }
  const Result<ListState*> entries = Entries(s);
  if (!entries.ok()) return entries.status();
  ListState* list = entries.value();
  if (!s.listingLine) {
    s.listingLine = static_cast<char*>(MemSessionAlloc(s.header.handle, kListLineSize));
    if (!s.listingLine) return Status(cvErrorOutOfMemory);
    s.listingLineLength = 0;
  }
  char* line = s.listingLine;
  uint32_t& fill = s.listingLineLength;
  if (IsSftpSession(s)) {
    // The stored SFTP listing hands out one formatted line per entry.
    if (const Status listed = sftp::ListLine(s, line); !listed.ok()) return listed;
    return TakeLine(s, line, true, done);
  }
  const Result<int32_t> n = ReadData(s, line + fill, kListLineSize - 1 - fill);
  if (Gone(s)) return kSessionGone;
  const bool atEnd = !n.ok() || n.value() == 0;
  if (!atEnd) {
    fill += uint32_t(n.value());
    if (line[fill - 1] != '\n') {
      if (fill < kListLineSize - 1) return {};
      // A line longer than the buffer fails the listing: a part of it would name another
      // file, and leaving it out would hide a file the server listed.
      fill = 0;
      return Status(cvErrorInvalidServerResponse);
    }
    line[fill - 1] = '\0';
  } else {
    if (!(s.endOfData && s.bytesBuffered == 0)) return n.ok() ? Status(cvErrorEndOfData) : n.status();
    // A last line without a line feed still counts; after it, the end.
    if (fill == 0) return Status(cvErrorEndOfDirectory);
    line[fill] = '\0';
  }
  fill = 0;
  if (!list->head && (s.systemType == listing::kSystemUnix || s.systemType == listing::kSystemOther) &&
      strncasecmp(line, "total ", 6) == 0)
    return {};
  return TakeLine(s, line, atEnd, done);
}

Result<int32_t> CloseDirectory(FtpSession& s) noexcept {
  if (IsSftpSession(s)) {
    if (const Status closed = sftp::CloseDirectory(s); !closed.ok()) return closed;
    return 0;
  }
  if (s.dataSocket == INVALID_SOCKET) return 0;
  if (!s.listingTypeOverride) return Status(cvErrorDirectoryEmpty);
  return CloseFile(s);
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpOpenDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::OpenDirectory(s, path), -1);
}

int32_t FtpOpenFileList(LibHandle handle, const char* path, uint32_t listType) {
  Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::OpenFileList(*op.session(), path, listType), -1) : -1;
}

int32_t FtpReadListLine(LibHandle handle, uint32_t* done) {
  Operation op(handle);
  return op ? cvftp::Library().FinishClean(cvftp::ReadListLine(*op.session(), done), 1, 0) : 0;
}

int32_t FtpCloseDirectory(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::CloseDirectory(s), -1);
}

FtpListEntry* FtpParseListLine(LibHandle handle, const char* line) {
  Operation op(handle);
  if (!op) return nullptr;
  const cvftp::Result<FtpListEntry*> entry = cvftp::ParseListLine(*op.session(), line);
  // A line whose details follow is no entry and no error.
  if (entry.ok() && !entry.value()) cvftp::Library().SetLastError(0);
  return cvftp::Library().Finish(entry, nullptr);
}

int32_t FtpParseFacts(LibHandle handle, const char* text, FtpFileInfoEx* info) {
  using cvftp::Status;
  Operation op(handle);
  if (!op) return 0;
  if (!info) return cvftp::Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  return cvftp::Library().Finish(Status(cvftp::listing::ParseFacts(text, *info)), 1, 0);
}

void FtpClearEntries(LibHandle handle) {
  Operation op(handle);
  if (op) cvftp::ClearEntries(*op.session());
}

void FtpAppendEntry(LibHandle handle, FtpListEntry* entry) {
  Operation op(handle);
  if (op) cvftp::AppendEntry(*op.session(), entry);
}

int32_t FtpGetDirectoryFormat(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return cvftp::IsSftpSession(*op.session()) ? 1 : int32_t(op.session()->directoryFormat);
}

int32_t FtpSetDirectoryFormat(LibHandle handle, uint32_t format) {
  using cvftp::Status;
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (cvftp::IsSftpSession(s)) return cvftp::Library().Finish(Status(format <= 1 ? 0 : cvErrorInvalidParameter), 0, -1);
  if (format == kFtpFormatMlsd && !(s.features & cvftp::kFeatureMlst))
    return cvftp::Library().Finish(Status(cvErrorFeatureNotSupported), 0, -1);
  s.directoryFormat = format;
  return 0;
}
