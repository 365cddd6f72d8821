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
// the wrong one.
void RestoreType(FtpSession& s, bool sent) noexcept {
  if (!sent || Gone(s)) return;
  const uint32_t kept = Library().GetLastError();
  SendSessionType(s);
  Library().SetLastError(kept);
}

// Sends the listing command over a new data connection; the reply code (125 or 150), or -1.
int32_t OpenListing(FtpSession& s, const char* command, const char* path) noexcept {
  if (s.proxyType == kProxyOther) {
    if (s.systemType == 0) GetSystemType(s);
    if (!Gone(s) && s.currentDirectory[0] == '\0') QueryWorkingDirectory(s);
    if (Gone(s)) return FailGone();
  }
  const bool sentType = s.fileType != kTypeAscii;
  if (sentType) {
    s.replyCode = 0;
    const int32_t r = SendCommand(s, "TYPE", "A");
    if (Gone(s)) return FailGone();
    if (r != 200) return ReplyMissing(s) ? -1 : Fail(cvErrorInvalidServerResponse);
  }
  if (OpenDataConnection(s, kDirectionReceive, 0) == -1) {
    RestoreType(s, sentType);
    return Gone(s) ? FailGone() : -1;
  }
  const int32_t r = SendCommand(s, command, path, cvErrorInvalidFileName);
  if (Gone(s)) return FailGone();
  if (r != 125 && r != 150) {
    CloseDataChannel(s);
    if (r != -1) Fail(cvErrorConnectionOpen);
    NameDataRefusal(s);
    RestoreType(s, sentType);
    return -1;
  }
  if (!s.passive && AcceptDataConnection(s) == -1) {
    if (Gone(s)) return FailGone();
    // The server reports the failed connection: that reply is read before the next command.
    OweReply(s);
    CloseDataChannel(s);
    RestoreType(s, sentType);
    return -1;
  }
  if (ProtectDataChannel(s) == -1) {
    // Only the data connection failed: the session goes on, and the server's reply to
    // the failed listing is read before the next command.
    const uint32_t error = Library().GetLastError();
    CloseDataChannel(s);
    OweReply(s);
    RestoreType(s, sentType);
    return Fail(error);
  }
  ClearEntries(s);
  s.listingTypeOverride = 1;
  SetState(s, FtpState::Listing);
  return r;
}

}  // namespace

int32_t OpenDirectory(FtpSession& s, const char* path) noexcept {
  path = SkipBlanks(path);
  // SFTP reads and stores the whole listing at once; entries are parsed as they are read.
  if (IsSftpSession(s)) {
    if (sftp::OpenDirectory(s, path) == -1) return -1;
    ClearEntries(s);
    return 0;
  }
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  if (s.directoryFormat == kFtpFormatAutoDetect && (s.features & kFeatureMlst)) s.directoryFormat = kFtpFormatMlsd;
  if (s.directoryFormat == kFtpFormatMlsd && path && std::strpbrk(path, "*?"))
    s.directoryFormat = kFtpFormatAutoDetect;  // MLSD takes no wildcards
  return OpenListing(s, s.directoryFormat == kFtpFormatMlsd ? "MLSD" : "LIST", path);
}

int32_t OpenFileList(FtpSession& s, const char* path, uint32_t listType) noexcept {
  path = SkipBlanks(path);
  if (IsSftpSession(s)) return Fail(cvErrorOperationNotSupported);
  if (listType == 1 &&
      (s.directoryFormat == kFtpFormatSterling1 || s.directoryFormat == kFtpFormatSterling2))
    return Fail(cvErrorOptionNotSupported);
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  return OpenListing(s, listType == 1 ? "NLST" : "LIST", path);
}

int32_t ReadListLine(FtpSession& s, uint32_t* done) noexcept {
  if (!done) return Fail(cvErrorInvalidParameter), 0;
  *done = 0;
  if (s.cancelRequested.exchange(0)) {
    s.cancelSignal.Reset();
    return Fail(cvErrorOperationCanceled), 0;
  }
  ListState* list = Entries(s);
  if (!list) return 0;
  if (!s.listingLine) {
    s.listingLine = static_cast<char*>(MemSessionAlloc(s.header.handle, kListLineSize));
    if (!s.listingLine) return Fail(cvErrorOutOfMemory), 0;
    s.listingLineLength = 0;
  }
  char* line = s.listingLine;
  uint32_t& fill = s.listingLineLength;
  if (IsSftpSession(s)) {
    // The stored SFTP listing hands out one formatted line per entry.
    if (!sftp::ListLine(s, line)) return 0;
    if (FtpListEntry* entry = ParseListLine(s, line)) {
      AppendEntry(s, entry);
      *done = 1;
    } else if (Library().GetLastError() == cvErrorOutOfMemory) {
      return 0;  // an entry lost must not read as a complete listing
    }
    Library().SetLastError(0);
    return 1;
  }
  const int32_t n = ReadData(s, line + fill, kListLineSize - 1 - fill);
  if (Gone(s)) return FailGone(), 0;
  if (n > 0) {
    fill += uint32_t(n);
    if (line[fill - 1] != '\n') {
      if (fill < kListLineSize - 1) return 1;
      // A line longer than the buffer fails the listing: a part of it would name another
      // file, and leaving it out would hide a file the server listed.
      fill = 0;
      return Fail(cvErrorInvalidServerResponse), 0;
    }
    line[fill - 1] = '\0';
  } else {
    if (!(s.endOfData && s.bytesBuffered == 0)) return 0;
    // A last line without a line feed still counts; after it, the end.
    if (fill == 0) return Fail(cvErrorEndOfDirectory), 0;
    line[fill] = '\0';
  }
  const bool atEnd = n <= 0;
  fill = 0;
  if (!list->head && (s.systemType == listing::kSystemUnix || s.systemType == listing::kSystemOther) &&
      strncasecmp(line, "total ", 6) == 0)
    return 1;
  FtpListEntry* entry = ParseListLine(s, line);
  if (!entry) {
    const uint32_t error = Library().GetLastError();
    if (error == cvErrorOutOfMemory) return 0;  // an entry lost must not read as a complete listing
    // A VMS name whose details follow: the next line is read in behind it.
    if (error == 0 && !atEnd) fill = uint32_t(std::strlen(line));
    Library().SetLastError(0);
    return 1;
  }
  AppendEntry(s, entry);
  *done = 1;
  return 1;
}

int32_t CloseDirectory(FtpSession& s) noexcept {
  if (IsSftpSession(s)) return sftp::CloseDirectory(s);
  if (s.dataSocket == INVALID_SOCKET) return 0;
  if (!s.listingTypeOverride) return Fail(cvErrorDirectoryEmpty);
  return CloseFile(s);
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpOpenDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  return op ? cvftp::OpenDirectory(*op.session(), path) : -1;
}

int32_t FtpOpenFileList(LibHandle handle, const char* path, uint32_t listType) {
  Operation op(handle);
  return op ? cvftp::OpenFileList(*op.session(), path, listType) : -1;
}

int32_t FtpReadListLine(LibHandle handle, uint32_t* done) {
  Operation op(handle);
  return op ? cvftp::ReadListLine(*op.session(), done) : 0;
}

int32_t FtpCloseDirectory(LibHandle handle) {
  Operation op(handle);
  return op ? cvftp::CloseDirectory(*op.session()) : -1;
}

FtpListEntry* FtpParseListLine(LibHandle handle, const char* line) {
  Operation op(handle);
  return op ? cvftp::ParseListLine(*op.session(), line) : nullptr;
}

int32_t FtpParseFacts(LibHandle handle, const char* text, FtpFileInfoEx* info) {
  Operation op(handle);
  if (!op) return 0;
  if (!info) return cvftp::Fail(cvErrorInvalidParameter), 0;
  const uint32_t error = cvftp::listing::ParseFacts(text, *info);
  return error ? (cvftp::Fail(error), 0) : 1;
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
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (cvftp::IsSftpSession(s)) return format <= 1 ? 0 : cvftp::Fail(cvErrorInvalidParameter);
  if (format == kFtpFormatMlsd && !(s.features & cvftp::kFeatureMlst)) return cvftp::Fail(cvErrorFeatureNotSupported);
  s.directoryFormat = format;
  return 0;
}
