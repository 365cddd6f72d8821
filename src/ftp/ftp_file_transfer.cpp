// Whole-file transfers: a remote file into a local file or a memory block, and a local
// file or a memory block up to the server.
#include <algorithm>
#include <cstring>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "ftp/ftp_local_file.h"
#include "ftp/ftp_transfer.h"
#include "platform/base/heap.h"
#include "platform/base/tick.h"

namespace cvftp {

namespace {

constexpr uint32_t kOptionAppend = 1;
constexpr uint32_t kOptionVerify = 2;
constexpr uint32_t kMaxMemoryBlock = 0xFFFFFFFEu;  // the length travels as a u32, plus the zero

bool IsSftp(const FtpSession& s) noexcept { return (s.options & kOptSftp) != 0; }

// One block of the session's buffer size from the session heap.
class SessionBuffer {
 public:
  explicit SessionBuffer(FtpSession& s) noexcept
      : handle_(s.header.handle),
        size_(s.dataBufferSize),
        data_(static_cast<char*>(Library().MemSessionAlloc(handle_, size_))) {}
  ~SessionBuffer() { Free(); }
  SessionBuffer(const SessionBuffer&) = delete;
  SessionBuffer& operator=(const SessionBuffer&) = delete;
  void Free() noexcept {
    if (data_) Library().MemSessionFree(handle_, data_);
    data_ = nullptr;
  }
  char* data() const noexcept { return data_; }
  uint32_t size() const noexcept { return size_; }

 private:
  LibHandle handle_;
  uint32_t size_;
  char* data_;
};

// Reads one block. The text types hand out a line per read: what is buffered already is
// gathered into the same block, so a text file costs no more writes than a binary one.
int32_t ReadBlock(FtpSession& s, char* buffer, uint32_t size) noexcept {
  int32_t n = ReadData(s, buffer, size);
  if (n <= 0) return n;
  uint32_t total = uint32_t(n);
  while (total < size && s.bytesBuffered > 0) {
    const int32_t m = ReadData(s, buffer + total, size - total);
    if (m <= 0) break;
    total += uint32_t(m);
  }
  return int32_t(total);
}

// The error of a failed transfer open: the engine's, or a reply that opened nothing.
uint32_t OpenError(int32_t r) noexcept {
  if (r == -1 && Library().GetLastError() != 0) return Library().GetLastError();
  return cvErrorInvalidServerResponse;
}

uint64_t RecordedSizeOr(FtpSession& s, uint64_t fallback) noexcept {
  const uint64_t size = s.fileSize.load();
  if (size == 0) s.fileSize.store(fallback);
  return size ? size : fallback;
}

// The final step of a download or upload: the transfer closed, its error kept.
uint32_t CloseTransfer(FtpSession& s, uint32_t error) noexcept {
  const int32_t closed = CloseFile(s);
  if (closed == -1 && !error) error = Library().GetLastError();
  return error;
}

bool VerifyAfter(FtpSession& s, bool verify, const char* local, const char* remote) noexcept {
  if (!verify || s.fileType != kTypeImage) return true;
  return VerifyFile(s, local, remote, 0) == 1;
}

}  // namespace

int32_t RetrieveFile(FtpSession& s, const char* local, const char* remote, uint32_t options,
                     uint64_t offset) noexcept {
  const bool verify = (options & kOptionVerify) || (s.options & kOptVerify);
  if ((options & kOptionAppend) && offset) return Fail(cvErrorInvalidParameter);
  if (IsSftp(s)) {
    if (sftp::RetrieveFile(s, local, remote, options & kOptionAppend, offset) == -1) return -1;
    return VerifyAfter(s, verify, local, remote) ? 0 : -1;
  }
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  if (Empty(local) || Empty(remote)) return Fail(cvErrorInvalidFileName);

  BeginStatistics(s, local, remote, offset);
  uint64_t size = 0;
  if (QueryFileSize(s, remote, &size) == -1) size = 0;
  if (Gone(s)) return FailGone();
  s.fileSize.store(size);
  SocketEventsAside aside(s, kStateDownload);
  const int32_t opened = OpenFileEx(s, remote, kDirectionReceive, offset, nullptr);
  if (Gone(s)) return FailGone();
  if (opened == -1 || opened >= 200) return opened;

  SessionBuffer buffer(s);
  LocalFile file;
  uint32_t error = 0;
  if (!buffer.data()) {
    error = cvErrorOutOfMemory;
  } else if (options & kOptionAppend) {
    if (!file.Open(local, LocalFile::Mode::Append)) error = Library().GetLastError();
  } else if (offset) {
    if (!file.Open(local, LocalFile::Mode::ExistingRW) || !file.TruncateAt(offset)) error = Library().GetLastError();
  } else if (!file.Open(local, LocalFile::Mode::Create)) {
    error = Library().GetLastError();
  }
  if (error) return Fail(CloseTransfer(s, error));

  FireEvent(s, kEventDownloadStarting, 0);
  if (Gone(s)) return FailGone();
  TransferPacer pacer(s);
  for (;;) {
    const int32_t n = ReadBlock(s, buffer.data(), buffer.size());
    if (Gone(s)) return FailGone();
    if (n < 0) {
      if (Library().GetLastError() != cvErrorEndOfData) error = Library().GetLastError();
      break;
    }
    if (n == 0) break;
    if (!file.WriteAll(buffer.data(), size_t(n))) {
      error = Library().GetLastError();
      break;
    }
    if (!pacer.AfterBlock()) {
      if (Gone(s)) return FailGone();
      error = Library().GetLastError();
      break;
    }
  }
  RecordedSizeOr(s, s.bytesTransferred.load());
  if (!error && !pacer.Finish()) return FailGone();
  aside.Restore();
  buffer.Free();
  if (!file.Close() && !error) error = cvErrorFileWriteFailed;
  error = CloseTransfer(s, error);
  if (Gone(s)) return FailGone();
  if (error) return Fail(error);
  return VerifyAfter(s, verify, local, remote) ? 0 : -1;
}

int32_t StoreFile(FtpSession& s, const char* local, const char* remote, uint32_t options, uint64_t offset) noexcept {
  const bool verify = (options & kOptionVerify) || (s.options & kOptVerify);
  if ((options & kOptionAppend) && offset) return Fail(cvErrorInvalidParameter);
  if (IsSftp(s)) {
    if (sftp::StoreFile(s, local, remote, options & kOptionAppend, offset) == -1) return -1;
    return VerifyAfter(s, verify, local, remote) ? 0 : -1;
  }
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  if (Empty(local) || Empty(remote)) return Fail(cvErrorInvalidFileName);
  const uint32_t mode = (options & kOptionAppend) ? kDirectionAppend : kDirectionStore;

  BeginStatistics(s, local, remote, offset);
  LocalFile file;
  if (!file.Open(local, LocalFile::Mode::Read)) return -1;
  s.fileSize.store(uint64_t(std::max<int64_t>(file.Size(), 0)));
  if (offset && !file.Seek(offset)) return -1;

  SocketEventsAside aside(s, kStateUpload);
  TypeProbe probe;
  probe.localPath = local;
  const int32_t opened = OpenFileEx(s, remote, mode, offset, &probe);
  if (Gone(s)) return FailGone();
  if (opened == -1 || opened >= 200) return opened;

  SessionBuffer buffer(s);
  uint32_t error = buffer.data() ? 0 : cvErrorOutOfMemory;
  if (!error) {
    FireEvent(s, kEventUploadStarting, 0);
    if (Gone(s)) return FailGone();
  }
  TransferPacer pacer(s);
  while (!error) {
    const int64_t n = file.Read(buffer.data(), buffer.size());
    if (n < 0) {
      error = cvErrorFileReadFailed;
      break;
    }
    if (n == 0) {
      if (!pacer.Finish()) return FailGone();
      break;
    }
    if (WriteData(s, buffer.data(), uint32_t(n)) == -1 || !pacer.AfterBlock()) {
      if (Gone(s)) return FailGone();
      error = Library().GetLastError();
    }
  }
  aside.Restore();
  buffer.Free();
  file.Close();
  const bool canceled = s.cancelRequested.load() != 0;
  error = CloseTransfer(s, error);
  if (Gone(s)) return FailGone();
  if (error) {
    // A cancel was resynchronised by the close already.
    if (!canceled && ResyncCommandChannel(s) == -1) return -1;
    return Fail(error);
  }
  return VerifyAfter(s, verify, local, remote) ? 0 : -1;
}

int32_t RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept {
  if (Empty(remote) || !buffer || !length) return Fail(cvErrorInvalidParameter);
  const uint32_t wanted = *length;
  if (wanted == 0) *static_cast<plat::HGLOBAL*>(buffer) = nullptr;
  if (IsSftp(s)) return sftp::RetrieveData(s, remote, buffer, length);
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);

  BeginStatistics(s, nullptr, remote, 0);
  s.transferStart.store(plat::GetTickCount() | 1);
  SocketEventsAside aside(s, kStateDownload);
  uint64_t size = 0;
  uint64_t expected = s.dataBufferSize;
  if (QueryFileSize(s, remote, &size) != -1) {
    s.fileSize.store(size);
    if (size) expected = std::min<uint64_t>(size, kMaxMemoryBlock);
  }
  if (Gone(s)) return FailGone();

  uint32_t error = 0;
  const int32_t opened = OpenFileEx(s, remote, kDirectionReceive, 0, nullptr);
  if (Gone(s)) return FailGone();
  if (opened != 125 && opened != 150) error = OpenError(opened);

  plat::UniqueGlobal block;
  uint64_t capacity = expected;
  uint64_t count = 0;
  if (!error) {
    block.reset(plat::GlobalAlloc(plat::GHND, size_t(capacity)));
    if (!block) error = cvErrorOutOfMemory;
  }
  TransferPacer pacer(s);
  while (!error) {
    if (count == capacity) {
      // Geometric growth: a file of unknown size costs a few moves, not one per buffer.
      const uint64_t bigger = std::min<uint64_t>(std::max(capacity * 2, capacity + s.dataBufferSize), kMaxMemoryBlock);
      if (bigger <= capacity || !plat::GlobalReAlloc(block.get(), size_t(bigger), plat::GHND)) {
        error = cvErrorOutOfMemory;
        break;
      }
      capacity = bigger;
    }
    char* data = static_cast<char*>(plat::GlobalLock(block.get()));
    const uint32_t room = uint32_t(std::min<uint64_t>(capacity - count, s.dataBufferSize));
    const int32_t n = data ? ReadData(s, data + count, room) : -1;
    plat::GlobalUnlock(block.get());
    if (Gone(s)) return FailGone();
    if (n < 0) {
      const uint32_t e = data ? Library().GetLastError() : cvErrorOutOfMemory;
      if (e != cvErrorConnectionClosed && e != cvErrorEndOfData) error = e;
      break;
    }
    if (n == 0) break;
    count += uint32_t(n);
    if (!pacer.AfterBlock()) {
      if (Gone(s)) return FailGone();
      error = Library().GetLastError();
    }
  }
  RecordedSizeOr(s, s.bytesTransferred.load());
  if (!error && !pacer.Finish()) return FailGone();
  if (s.dataSocket != INVALID_SOCKET) error = CloseTransfer(s, error);
  if (Gone(s)) return FailGone();
  aside.Restore();
  // The caller receives data followed by one zero byte, or nothing at all.
  if (!error && count > 0 && !plat::GlobalReAlloc(block.get(), size_t(count + 1), plat::GHND)) error = cvErrorOutOfMemory;
  if (error || count == 0) block.reset();
  if (error) {
    *length = 0;
    return Fail(error);
  }
  if (wanted == 0) {
    *static_cast<plat::HGLOBAL*>(buffer) = block.release();
    *length = uint32_t(count);
  } else {
    const uint32_t n = uint32_t(std::min<uint64_t>(wanted, count));
    if (n) {
      std::memcpy(buffer, plat::GlobalLock(block.get()), n);
      plat::GlobalUnlock(block.get());
    }
    *length = n;
  }
  return 0;
}

int32_t StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept {
  if (!data && length) return Fail(cvErrorInvalidParameter);
  if (IsSftp(s)) return sftp::StoreData(s, remote, data, length);
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);

  BeginStatistics(s, nullptr, remote, 0);
  s.fileSize.store(length);
  s.transferStart.store(plat::GetTickCount() | 1);
  SocketEventsAside aside(s, kStateUpload);
  TypeProbe probe;
  probe.data = data;
  probe.length = length;
  uint32_t error = 0;
  const int32_t opened = OpenFileEx(s, remote, kDirectionStore, 0, &probe);
  if (Gone(s)) return FailGone();
  if (opened != 125 && opened != 150) error = OpenError(opened);

  TransferPacer pacer(s);
  const char* p = static_cast<const char*>(data);
  uint32_t sent = 0;
  while (!error && sent < length) {
    const uint32_t n = std::min(length - sent, s.dataBufferSize);
    if (WriteData(s, p + sent, n) == -1 || !pacer.AfterBlock()) {
      if (Gone(s)) return FailGone();
      error = Library().GetLastError();
      break;
    }
    sent += n;
  }
  if (!error && !pacer.Finish()) return FailGone();
  if (s.dataSocket != INVALID_SOCKET) error = CloseTransfer(s, error);
  if (Gone(s)) return FailGone();
  return error ? Fail(error) : 0;
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpRetrieveFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset) {
  Operation op(handle);
  return op ? cvftp::RetrieveFile(*op.session(), local, remote, options, offset) : -1;
}

int32_t FtpRetrieveFileBasic(LibHandle handle, const char* local, const char* remote) {
  return FtpRetrieveFile(handle, local, remote, 0, 0);
}

int32_t FtpStoreFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset) {
  Operation op(handle);
  return op ? cvftp::StoreFile(*op.session(), local, remote, options, offset) : -1;
}

int32_t FtpStoreFileBasic(LibHandle handle, const char* local, const char* remote) {
  return FtpStoreFile(handle, local, remote, 0, 0);
}

int32_t FtpRetrieveData(LibHandle handle, const char* remote, void* buffer, uint32_t* length) {
  Operation op(handle);
  return op ? cvftp::RetrieveData(*op.session(), remote, buffer, length) : -1;
}

int32_t FtpStoreData(LibHandle handle, const char* remote, const void* data, uint32_t length) {
  Operation op(handle);
  return op ? cvftp::StoreData(*op.session(), remote, data, length) : -1;
}
