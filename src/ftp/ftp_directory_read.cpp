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

// Reads lines until one more entry has been added.
Status ReadOneEntry(FtpSession& s) noexcept {
  for (;;) {
    uint32_t done = 0;
    if (const Status read = ReadListLine(s, &done); !read.ok()) return read;
    if (done) return {};
  }
}

Status ReadNextEntry(FtpSession& s, FtpFileInfoEx& info) noexcept {
  const Result<ListState*> entries = Entries(s);
  if (!entries.ok()) return entries.status();
  ListState* list = entries.value();
  if (!list->cursor) {
    if (s.dataSocket == INVALID_SOCKET && !IsSftpSession(s)) return Status(cvErrorEndOfDirectory);
    if (const Status read = ReadOneEntry(s); !read.ok()) return read;
  }
  if (!list->cursor) return Status(cvErrorUnknownDirectoryFormat);
  listing::FillInfo(*list->cursor, info);
  list->cursor = list->cursor->next;
  return {};
}

Status ReadFirstEntry(FtpSession& s, FtpFileInfoEx& info) noexcept {
  const Result<ListState*> entries = Entries(s);
  if (!entries.ok()) return entries.status();
  ListState* list = entries.value();
  if (!list->head) {
    if (s.dataSocket == INVALID_SOCKET && !IsSftpSession(s)) return Status(cvErrorDirectoryEmpty);
    if (const Status read = ReadOneEntry(s); !read.ok()) return read;
  }
  list->cursor = list->head;
  return ReadNextEntry(s, info);
}

Result<int32_t> GetFileList(FtpSession& s, const char* path, uint32_t listType, char* buffer, uint32_t size) noexcept {
  if (IsSftpSession(s)) return sftp::GetFileList(s, path, listType, buffer, size);
  if (!buffer) return Status(cvErrorInvalidParameter);
  if (size < 2) return Status(cvErrorBufferTooSmall);
  buffer[0] = '\0';
  if (const Result<int32_t> opened = OpenFileList(s, path, listType); !opened.ok()) return opened;
  uint32_t length = 0;
  Status failure;
  char scratch[8192];
  for (;;) {
    // Read straight into the buffer while it has room; the rest of the listing is read and dropped.
    const uint32_t room = size - 1 - length;
    char* into = room ? buffer + length : scratch;
    const Result<int32_t> n = ReadData(s, into, room ? std::min<uint32_t>(room, sizeof scratch) : sizeof scratch);
    if (Gone(s)) return kSessionGone;
    if (n.ok() && n.value() > 0) {
      if (room) length += uint32_t(n.value());
      continue;
    }
    if (!(n.error() == cvErrorEndOfData && s.endOfData && s.bytesBuffered == 0))
      failure = n.ok() ? Status(cvErrorEndOfData) : n.status();
    break;
  }
  buffer[length] = '\0';
  const Result<int32_t> closed = CloseFile(s);
  if (Gone(s)) return kSessionGone;
  failure = FirstFailure(failure, closed.status());
  if (!failure.ok()) {
    buffer[0] = '\0';
    return failure;
  }
  return int32_t(length);
}

}  // namespace

}  // namespace cvftp

using cvftp::Operation;

namespace {

// The entry calls: 1, or 0 with the error.
template <typename Read>
int32_t ReadEntry(LibHandle handle, FtpFileInfoEx* info, Read read) {
  Operation op(handle);
  if (!op) return 0;
  if (!info) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 1, 0);
  *info = FtpFileInfoEx{};
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, read(s, *info), 1, 0);
}

}  // namespace

int32_t FtpReadFirstEntryEx(LibHandle handle, FtpFileInfoEx* info) {
  return ReadEntry(handle, info, cvftp::ReadFirstEntry);
}

int32_t FtpReadNextEntryEx(LibHandle handle, FtpFileInfoEx* info) {
  return ReadEntry(handle, info, cvftp::ReadNextEntry);
}

int32_t FtpReadFirstEntry(LibHandle handle, FtpFileInfo* info) {
  if (!info) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 1, 0);
  *info = FtpFileInfo{};
  FtpFileInfoEx ex;
  const int32_t r = FtpReadFirstEntryEx(handle, &ex);
  if (r) cvftp::listing::NarrowInfo(ex, *info);
  return r;
}

int32_t FtpReadNextEntry(LibHandle handle, FtpFileInfo* info) {
  if (!info) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 1, 0);
  *info = FtpFileInfo{};
  FtpFileInfoEx ex;
  const int32_t r = FtpReadNextEntryEx(handle, &ex);
  if (r) cvftp::listing::NarrowInfo(ex, *info);
  return r;
}

int32_t FtpGetFileList(LibHandle handle, const char* path, uint32_t listType, char* buffer, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::GetFileList(s, path, listType, buffer, size), -1);
}
