// The step-by-step SFTP transfer (open, read, write, end test, close) behind the FTP
// library's data-connection operations. The transfer lives in the session.
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/errors/error_codes.h"
#include "platform/base/tick.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/sftp/sftp_transfer.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace {

constexpr uint32_t kModeDownload = 0, kModeUpload = 1, kModeAppend = 2, kModeUnique = 3;
constexpr uint32_t kWritePiece = 4096;

int32_t Fail(SshSession* s, uint32_t code, int32_t result = 0) {
  SshSetLastError(s, code);
  return result;
}

struct TextFree {
  void operator()(char* text) const { CheckedFree(text); }
};
using OwnedText = std::unique_ptr<char, TextFree>;

// The remote size of an open handle; false with the error stored
// (cvErrorOperationNotSupported without a size).
bool RemoteSize(SshSession* s, const SftpHandle* handle, uint64_t* size) {
  SftpAttributes a{};
  if (!cvssh::sftp::Fstat(s, handle, &a)) return false;
  if (!(a.flags & kSftpAttrSize)) return Fail(s, cvErrorOperationNotSupported), false;
  *size = a.size;
  return true;
}

// Opens an upload: the handle and the start offset, or null with the error stored.
SftpHandle* OpenUpload(SshSession* s, const char* path, uint64_t offset, uint64_t* start, uint64_t* size) {
  *start = *size = 0;
  if (!offset) return cvssh::sftp::Open(s, path, kSftpOpenWrite | kSftpOpenCreate | kSftpOpenTruncate);
  SftpHandle* handle = cvssh::sftp::Open(s, path, kSftpOpenWrite);
  if (!handle) return nullptr;
  if (!RemoteSize(s, handle, size)) {
    uint32_t error = SshGetLastError(s);
    cvssh::sftp::Close(s, handle);
    return Fail(s, error), nullptr;
  }
  *start = std::min(offset, *size);
  return handle;
}

void FireStored(SshSession* s, uint32_t code) {
  if (SftpEventInfo* info = SshGetEventInfo(s)) {
    info->bytesCopied = SftpGetByteCount(s);
    SshFireEvent(s, code, info);
  }
}

}  // namespace

int32_t SftpOpenTransfer(SshSession* s, const char* remote, uint32_t mode, uint64_t offset) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (SftpGetTransfer(s)) return Fail(s, cvErrorConnectionOpen);
  if (mode == kModeUnique) return Fail(s, cvErrorFeatureNotSupported);
  if (mode > kModeUnique) return Fail(s, cvErrorInvalidParameter);
  if (!remote || !*remote) return Fail(s, cvErrorInvalidFileName);
  OwnedText path(SftpResolvePath(s, remote));
  if (!path) return Fail(s, cvErrorInvalidFileName);

  SftpEventInfo info{};
  info.directory = DupString(SftpCurrentDirectory(s));
  info.remoteFile = DupString(path.get());
  info.entryCount = 1;
  info.startTick = plat::GetTickCount();
  SftpTransferQueue* queue = nullptr;
  if (mode == kModeDownload) {
    SftpAttributes a{};
    SftpHandle* handle = nullptr;
    if (cvssh::sftp::Stat(s, path.get(), &a)) handle = cvssh::sftp::Open(s, path.get(), kSftpOpenRead);
    if (handle) {
      info.size = a.size;
      info.offset = offset;
      info.direction = 1;
      queue = SftpDownloadStart(s, handle, offset);
    }
  } else {
    uint64_t start = 0, size = 0;
    SftpHandle* handle = nullptr;
    if (mode == kModeAppend) {
      handle = cvssh::sftp::Open(s, path.get(), kSftpOpenWrite);
      if (!handle) {
        handle = OpenUpload(s, path.get(), 0, &start, &size);
      } else if (RemoteSize(s, handle, &size)) {
        start = size;
      } else {
        uint32_t error = SshGetLastError(s);
        cvssh::sftp::Close(s, handle);
        handle = nullptr;
        SshSetLastError(s, error);
      }
    } else {
      handle = OpenUpload(s, path.get(), offset, &start, &size);
    }
    if (handle) {
      info.size = size;
      info.offset = start;
      info.direction = 2;
      queue = SftpUploadStart(s, handle, start);
    }
  }
  if (!queue) {
    uint32_t error = SshGetLastError(s);
    CheckedFree(info.directory);
    CheckedFree(info.remoteFile);
    return Fail(s, error);
  }
  SftpSetTransfer(s, queue, mode);
  SshFireEvent(s, kSftpEventTransferStart, &info);
  SshSetEventInfo(s, &info);
  SshSetLastError(s, 0);
  return 1;
}

int32_t SftpCloseTransfer(SshSession* s) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  SftpTransferQueue* q = SftpGetTransfer(s);
  if (!q) return Fail(s, cvErrorConnectionClosed);
  const bool upload = SftpGetTransferMode(s) != kModeDownload;
  // Replies still owed are collected first: a write the server refused fails the close,
  // and no late reply can be taken for the CLOSE's.
  bool ok = true;
  uint32_t error = 0;
  while (upload && cvssh::sftp::Outstanding(q) && SshIsConnected(s)) {
    SftpPacket* reply = SftpReceivePacket(s);
    if (!reply || SftpUploadReply(q, reply) != 1) {
      ok = false;
      error = SshGetLastError(s);
      break;
    }
  }
  if (cvssh::sftp::Outstanding(q)) cvssh::sftp::Drain(q, !upload);
  SftpHandle* handle = q->handle;
  SftpTransferFree(q);
  uint8_t* block = SftpGetDataBlock(s, nullptr, nullptr);
  CheckedFree(block);
  SftpSetDataBlock(s, nullptr, 0, 0);
  cvssh::sftp::Close(s, handle);
  if (SftpEventInfo* info = SshGetEventInfo(s)) info->endTick = plat::GetTickCount();
  FireStored(s, kSftpEventTransferEnd);
  SshSetEventInfo(s, nullptr);
  SftpSetTransfer(s, nullptr, 0);
  if (!ok) return Fail(s, error ? error : cvErrorConnectionClosed);
  SshSetLastError(s, 0);
  return 1;
}

int32_t SftpReadData(SshSession* s, void* buffer, int32_t size) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle, -1);
  SftpTransferQueue* q = SftpGetTransfer(s);
  if (!q) return Fail(s, cvErrorConnectionClosed, -1);
  if (!buffer) return Fail(s, cvErrorInvalidParameter, -1);
  if (size < 1) return Fail(s, cvErrorBufferTooSmall, -1);
  if (SftpGetTransferMode(s) != kModeDownload) return Fail(s, cvErrorDataWriteOnly, -1);
  for (;;) {
    uint32_t length, consumed;
    uint8_t* block = SftpGetDataBlock(s, &length, &consumed);
    if (block && consumed < length) {
      uint32_t n = std::min(uint32_t(size), length - consumed);
      std::memcpy(buffer, block + consumed, n);
      SftpSetDataBlock(s, block, length, consumed + n);
      SftpAddByteCount(s, n);
      FireStored(s, kSftpEventRead);
      SshSetLastError(s, 0);
      return int32_t(n);
    }
    if (block) {
      CheckedFree(block);
      SftpSetDataBlock(s, nullptr, 0, 0);
    }
    uint8_t* next;
    int32_t nextLength;
    if (SftpDownloadData(q, &next, &nextLength)) {
      if (nextLength > 0)
        SftpSetDataBlock(s, next, uint32_t(nextLength), 0);
      else
        CheckedFree(next);
      continue;
    }
    if (SftpDownloadDone(q)) return Fail(s, cvErrorEndOfData, 0);
    SftpDownloadQueue(q);
    SftpPacket* reply = SftpReceivePacket(s);
    if (SftpDownloadReply(q, reply) < 0) {
      cvssh::sftp::NoteLostConnection(s);
      return -1;
    }
  }
}

int32_t SftpWriteData(SshSession* s, const void* buffer, int32_t size) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle, -1);
  SftpTransferQueue* q = SftpGetTransfer(s);
  if (!q) return Fail(s, cvErrorConnectionClosed, -1);
  if (!buffer) return Fail(s, cvErrorInvalidParameter, -1);
  if (size < 1) return Fail(s, cvErrorBufferTooSmall, -1);
  if (SftpGetTransferMode(s) == kModeDownload) return Fail(s, cvErrorDataReadOnly, -1);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t sent = 0;
  while (sent < uint32_t(size)) {
    // Replies are taken only when the queue is full, so writes stay pipelined.
    while (!SftpUploadReady(q)) {
      SftpPacket* reply = SftpReceivePacket(s);
      if (SftpUploadReply(q, reply) != 1) {
        cvssh::sftp::NoteLostConnection(s);
        return -1;
      }
    }
    uint32_t n = std::min(uint32_t(size) - sent, kWritePiece);
    SftpUploadData(q, bytes + sent, n);
    SftpAddByteCount(s, n);
    sent += n;
  }
  FireStored(s, kSftpEventWrite);
  SshSetLastError(s, 0);
  return int32_t(sent);
}

int32_t SftpIsEndOfData(SshSession* s) {
  SftpTransferQueue* q = SftpGetTransfer(s);
  if (!q) return Fail(s, cvErrorConnectionClosed, 1);
  if (SftpGetTransferMode(s) != kModeDownload) return Fail(s, cvErrorDataWriteOnly, 0);
  uint32_t length, consumed;
  SftpGetDataBlock(s, &length, &consumed);
  if (SftpDownloadDone(q) && consumed >= length) return Fail(s, cvErrorEndOfData, 1);
  SshSetLastError(s, 0);
  return 0;
}
