// Handing out the entries of a listing, and a whole listing as text.
#include <algorithm>
#include <cstring>

#include "ftp/ftp_directory.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "ftp/ftp_transfer.h"
#include "ftp/listing/list_parser.h"

namespace cvftp {

namespace {

// Reads lines until one more entry has been added; 1, or 0 with the read's error.
int32_t ReadOneEntry(FtpSession& s) noexcept {
  for (;;) {
    uint32_t done = 0;
    if (ReadListLine(s, &done) == 0) return 0;
    if (done) return 1;
  }
}

int32_t ReadNextEntry(FtpSession& s, FtpFileInfoEx& info) noexcept {
  ListState* list = Entries(s);
  if (!list) return 0;
  if (!list->cursor) {
    if (s.dataSocket == INVALID_SOCKET && !IsSftpSession(s)) return Fail(cvErrorEndOfDirectory), 0;
    if (ReadOneEntry(s) == 0) return 0;
  }
  if (!list->cursor) return Fail(cvErrorUnknownDirectoryFormat), 0;
  listing::FillInfo(*list->cursor, info);
  list->cursor = list->cursor->next;
  return 1;
}

int32_t ReadFirstEntry(FtpSession& s, FtpFileInfoEx& info) noexcept {
  ListState* list = Entries(s);
  if (!list) return 0;
  if (!list->head) {
    if (s.dataSocket == INVALID_SOCKET && !IsSftpSession(s)) return Fail(cvErrorDirectoryEmpty), 0;
    if (ReadOneEntry(s) == 0) return 0;
  }
  list->cursor = list->head;
  return ReadNextEntry(s, info);
}

int32_t GetFileList(FtpSession& s, const char* path, uint32_t listType, char* buffer, uint32_t size) noexcept {
  if (IsSftpSession(s)) return sftp::GetFileList(s, path, listType, buffer, size);
  if (!buffer) return Fail(cvErrorInvalidParameter);
  if (size < 2) return Fail(cvErrorBufferTooSmall);
  buffer[0] = '\0';
  if (OpenFileList(s, path, listType) == -1) return -1;
  uint32_t length = 0;
  uint32_t error = 0;
  char scratch[8192];
  for (;;) {
    // Read straight into the buffer while it has room; the rest of the listing is read and dropped.
    const uint32_t room = size - 1 - length;
    char* into = room ? buffer + length : scratch;
    const int32_t n = ReadData(s, into, room ? std::min<uint32_t>(room, sizeof scratch) : sizeof scratch);
    if (Gone(s)) return FailGone();
    if (n > 0) {
      if (room) length += uint32_t(n);
      continue;
    }
    if (!(n == 0 && s.endOfData && s.bytesBuffered == 0)) error = Library().GetLastError();
    break;
  }
  buffer[length] = '\0';
  const int32_t closed = CloseFile(s);
  if (Gone(s)) return FailGone();
  if (closed == -1 && !error) error = Library().GetLastError();
  if (error) {
    buffer[0] = '\0';
    return Fail(error);
  }
  return int32_t(length);
}

}  // namespace

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpReadFirstEntryEx(LibHandle handle, FtpFileInfoEx* info) {
  Operation op(handle);
  if (!op) return 0;
  if (!info) return cvftp::Fail(cvErrorInvalidParameter), 0;
  *info = FtpFileInfoEx{};
  return cvftp::ReadFirstEntry(*op.session(), *info);
}

int32_t FtpReadNextEntryEx(LibHandle handle, FtpFileInfoEx* info) {
  Operation op(handle);
  if (!op) return 0;
  if (!info) return cvftp::Fail(cvErrorInvalidParameter), 0;
  *info = FtpFileInfoEx{};
  return cvftp::ReadNextEntry(*op.session(), *info);
}

int32_t FtpReadFirstEntry(LibHandle handle, FtpFileInfo* info) {
  if (!info) return cvftp::Fail(cvErrorInvalidParameter), 0;
  *info = FtpFileInfo{};
  FtpFileInfoEx ex;
  const int32_t r = FtpReadFirstEntryEx(handle, &ex);
  if (r) cvftp::listing::NarrowInfo(ex, *info);
  return r;
}

int32_t FtpReadNextEntry(LibHandle handle, FtpFileInfo* info) {
  if (!info) return cvftp::Fail(cvErrorInvalidParameter), 0;
  *info = FtpFileInfo{};
  FtpFileInfoEx ex;
  const int32_t r = FtpReadNextEntryEx(handle, &ex);
  if (r) cvftp::listing::NarrowInfo(ex, *info);
  return r;
}

int32_t FtpGetFileList(LibHandle handle, const char* path, uint32_t listType, char* buffer, uint32_t size) {
  Operation op(handle);
  return op ? cvftp::GetFileList(*op.session(), path, listType, buffer, size) : -1;
}
