// Whole-file transfers: a remote file into a local file or a memory block, and a local
// file or a memory block up to the server.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_line_ends.h"
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

// One block of a transfer loop (see TransferBlock) from the session heap.
class SessionBuffer {
 public:
  explicit SessionBuffer(FtpSession& s, bool wanted = true) noexcept
      : handle_(s.header.handle),
        size_(TransferBlock(s)),
        data_(wanted ? static_cast<char*>(Library().MemSessionAlloc(handle_, size_)) : nullptr) {}
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
Result<int32_t> ReadBlock(FtpSession& s, char* buffer, uint32_t size) noexcept {
  const Result<int32_t> n = ReadData(s, buffer, size);
  if (!n.ok() || n.value() == 0) return n;
  uint32_t total = uint32_t(n.value());
  while (total < size && s.bytesBuffered > 0) {
    const Result<int32_t> m = ReadData(s, buffer + total, size - total);
    if (!m.ok() || m.value() == 0) break;  // the next block's read meets it again
    total += uint32_t(m.value());
  }
  return int32_t(total);
}

bool IsText(const FtpSession& s) noexcept { return s.fileType == kTypeAscii || s.fileType == kTypeEbcdic; }

// SIZE before a download. A refusal only leaves the size unknown and is no error of the
// caller's; a probe that left the command channel out of step (no answer, the connection
// lost, a cancel) fails the transfer with its error.
Status ProbeSize(FtpSession& s, const char* remote, uint64_t* size, bool* known) noexcept {
  Status probed;
  {
    WithheldEvents quiet(s, kEventCommandReply);
    probed = QueryFileSize(s, remote, size).status();
  }
  if (Gone(s)) return kSessionGone;
  *known = probed.ok();
  return s.channelDebt == FtpChannelDebt::None ? Status() : probed;
}

// The size a transfer reply announces, "150 Opening BINARY mode data connection for f
// (1234 bytes)", as servers without SIZE still say it.
bool AnnouncedSize(const char* text, uint64_t* size) noexcept {
  for (const char* p = std::strchr(text, '('); p; p = std::strchr(p + 1, '(')) {
    char* end = nullptr;
    if (p[1] < '0' || p[1] > '9') continue;
    const unsigned long long v = std::strtoull(p + 1, &end, 10);
    if (std::strncmp(end, " bytes)", 7) == 0) {
      *size = v;
      return true;
    }
  }
  return false;
}

// Bytes a download must deliver: the rest of the file from the offset.
uint64_t ExpectedBytes(uint64_t size, uint64_t offset) noexcept { return size > offset ? size - offset : 0; }

// Whether a download of a known size delivered the file, judged by the bytes on the wire
// (before any line-end conversion). Image type carries exactly the file. A text type carries
// the server's line ends: a server that converts only adds bytes (LF to CR LF) and one that
// does not sends the size it announced, so fewer bytes than announced is a file cut short.
bool Delivered(bool text, uint64_t wireBytes, uint64_t expected) noexcept {
  return text ? wireBytes >= expected : wireBytes == expected;
}

// The failure of a transfer open: the engine's, or a reply that opened nothing.
Status OpenError(const Result<int32_t>& r) noexcept {
  if (r.ok() && r.value() != 125 && r.value() != 150) return Status(cvErrorInvalidServerResponse);
  return r.status();
}

uint64_t RecordedSizeOr(FtpSession& s, uint64_t fallback) noexcept {
  const uint64_t size = s.fileSize.load();
  if (size == 0) s.fileSize.store(fallback);
  return size ? size : fallback;
}

// The final step of a download or upload: the transfer closed, its error kept. After a
// failure, which the caller has heard of already, the server's final reply (and for an
// upload the resynchronisation) get one more timeout, without further events, and the
// first failure stands whatever they meet.
Status CloseTransfer(FtpSession& s, Status failure, bool resync = false) noexcept {
  if (failure.ok()) return CloseFile(s).status();
  const bool canceled = s.cancelRequested.load() != 0;
  Status cleanup;
  {
    WaitDeadline bound(s, SessionTimeoutMs(s));
    WithheldEvents quiet(s, kEventTimeout | kEventCanceled | kEventCommandReply);
    s.bytesBuffered = 0;  // what a failed upload still holds is not sent
    if (s.dataSocket != INVALID_SOCKET) cleanup = CloseFile(s).status();
    // A cancel is taken care of by the close.
    if (!Gone(s) && resync && !canceled) cleanup = FirstFailure(cleanup, ResyncCommandChannel(s).status());
  }
  return FirstFailure(failure, cleanup);
}

Status VerifyAfter(FtpSession& s, bool verify, const char* local, const char* remote) noexcept {
  if (!verify || s.fileType != kTypeImage) return {};
  return VerifyFile(s, local, remote, 0);
}

// A whole-file transfer's result once its file is in place: 0, or the check's failure.
Result<int32_t> Verified(FtpSession& s, bool verify, const char* local, const char* remote) noexcept {
  if (const Status checked = VerifyAfter(s, verify, local, remote); !checked.ok()) return checked;
  return 0;
}

}  // namespace

Result<int32_t> RetrieveFile(FtpSession& s, const char* local, const char* remote, uint32_t options,
                             uint64_t offset) noexcept {
  const bool verify = (options & kOptionVerify) || (s.options & kOptVerify);
  if ((options & kOptionAppend) && offset) return Status(cvErrorInvalidParameter);
  if (IsSftp(s)) {
    if (const Status got = sftp::RetrieveFile(s, local, remote, options & kOptionAppend, offset); !got.ok()) return got;
    return Verified(s, verify, local, remote);
  }
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  if (Empty(local) || Empty(remote)) return Status(cvErrorInvalidFileName);

  BeginStatistics(s, local, remote, offset);
  uint64_t size = 0;
  bool sizeKnown = false;
  if (const Status probed = ProbeSize(s, remote, &size, &sizeKnown); !probed.ok()) return probed;
  s.fileSize.store(size);
  SocketEventsAside aside(s, FtpState::Downloading);
  const Result<int32_t> opened = OpenFileEx(s, remote, kDirectionReceive, offset, nullptr);
  if (Gone(s)) return kSessionGone;
  // A positive reply that opened no transfer ends it here: the caller has what the server said.
  if (!opened.ok() || opened.value() >= 200) return opened;
  if (!sizeKnown && AnnouncedSize(s.replyText, &size)) {
    sizeKnown = true;
    s.fileSize.store(size);
  }

  SessionBuffer buffer(s);
  LocalFile file;
  Status error;
  if (!buffer.data()) {
    error = Status(cvErrorOutOfMemory);
  } else if (options & kOptionAppend) {
    error = file.Open(local, LocalFile::Mode::Append);
  } else if (offset) {
    error = file.Open(local, LocalFile::Mode::ExistingRW);
    if (error.ok()) error = file.TruncateAt(offset);
  } else {
    error = file.Open(local, LocalFile::Mode::Create);
  }
  if (!error.ok()) return CloseTransfer(s, error);

  FireEvent(s, kEventDownloadStarting, 0);
  if (Gone(s)) return kSessionGone;
  const bool text = IsText(s);
  ReceivedText lines;
  TransferPacer pacer(s);
  for (;;) {
    // Text is read behind one spare byte, where a CR held back from the block before goes.
    const Result<int32_t> n =
        text ? ReadBlock(s, buffer.data() + 1, buffer.size() - 1) : ReadBlock(s, buffer.data(), buffer.size());
    if (Gone(s)) return kSessionGone;
    if (!n.ok() && n.error() != cvErrorEndOfData) {
      error = n.status();
      break;
    }
    const bool last = !n.ok() || n.value() == 0;
    const char* data = buffer.data();
    size_t length = n.ok() ? size_t(n.value()) : 0;
    if (text) {
      const uint64_t before = lines.removed();
      length = lines.Take(buffer.data(), length, last, &data);
      // The statistics count the file's bytes, not the wire's line ends.
      s.bytesTransferred.fetch_sub(lines.removed() - before);
    }
    if (length) {
      error = file.WriteAll(data, length);
      if (!error.ok()) break;
    }
    if (last) break;
    error = pacer.AfterBlock();
    if (!error.ok()) {
      if (Gone(s)) return kSessionGone;
      break;
    }
  }
  const uint64_t received = s.bytesTransferred.load();
  const uint64_t wireBytes = received + lines.removed();
  RecordedSizeOr(s, received);
  if (error.ok() && !pacer.Finish()) return kSessionGone;
  aside.Restore();
  buffer.Free();
  if (!file.Close().ok()) error = FirstFailure(error, Status(cvErrorFileWriteFailed));
  error = CloseTransfer(s, error);
  if (Gone(s)) return kSessionGone;
  // A server that ends the data early (or late) and still reports success has not
  // delivered the file it announced; the part received stays for a resumed download.
  if (error.ok() && sizeKnown && !Delivered(text, wireBytes, ExpectedBytes(size, offset)))
    error = Status(cvErrorFileSizeMismatch);
  if (!error.ok()) return error;
  return Verified(s, verify, local, remote);
}

Result<int32_t> StoreFile(FtpSession& s, const char* local, const char* remote, uint32_t options,
                          uint64_t offset) noexcept {
  const bool verify = (options & kOptionVerify) || (s.options & kOptVerify);
  if ((options & kOptionAppend) && offset) return Status(cvErrorInvalidParameter);
  if (IsSftp(s)) {
    if (const Status put = sftp::StoreFile(s, local, remote, options & kOptionAppend, offset); !put.ok()) return put;
    return Verified(s, verify, local, remote);
  }
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  if (Empty(local) || Empty(remote)) return Status(cvErrorInvalidFileName);
  const uint32_t mode = (options & kOptionAppend) ? kDirectionAppend : kDirectionStore;

  BeginStatistics(s, local, remote, offset);
  LocalFile file;
  if (const Status opened = file.Open(local, LocalFile::Mode::Read); !opened.ok()) return opened;
  s.fileSize.store(uint64_t(std::max<int64_t>(file.Size(), 0)));
  if (offset)
    if (const Status sought = file.Seek(offset); !sought.ok()) return sought;

  SocketEventsAside aside(s, FtpState::Uploading);
  TypeProbe probe;
  probe.localPath = local;
  const Result<int32_t> opened = OpenFileEx(s, remote, mode, offset, &probe);
  if (Gone(s)) return kSessionGone;
  // A positive reply that opened no transfer ends it here: the caller has what the server said.
  if (!opened.ok() || opened.value() >= 200) return opened;

  SessionBuffer buffer(s);
  Status error = buffer.data() ? Status() : Status(cvErrorOutOfMemory);
  if (error.ok()) {
    FireEvent(s, kEventUploadStarting, 0);
    if (Gone(s)) return kSessionGone;
  }
  // Text in ASCII type goes out with CR LF line ends: half a buffer is read, to expand.
  // A file that only its content made text goes out as it is: its download, which has
  // no content to look at, takes it by name and must get it back unchanged.
  const bool text = s.fileType == kTypeAscii && !probe.byContent;
  const uint32_t chunk = text ? buffer.size() / 2 : buffer.size();
  uint64_t fileBytes = 0;
  // Bytes that go out as the file holds them leave straight from it, without a copy
  // through the buffer, where the data channel can send them so. Not to a server on this
  // host: there the server itself copies the bytes out of the file's pages, which the
  // transfer's pace then waits on, while read here they reach it fresh from this buffer
  // and the copying is shared between the two processes.
  bool fromFile = !text && s.fileType != kTypeEbcdic && !DataPeerOnThisHost(s);
  TransferPacer pacer(s);
  while (error.ok()) {
    if (fromFile) {
      const Result<int64_t> sent = SendFromFile(s, file.descriptor(), offset + fileBytes, chunk);
      if (sent.ok() && sent.value() == kSendFromFileUnable) {
        fromFile = false;
        if (!file.Seek(offset + fileBytes).ok()) error = Status(cvErrorFileReadFailed);
        continue;
      }
      if (sent.ok() && sent.value() == 0) {
        if (!pacer.Finish()) return kSessionGone;
        break;
      }
      if (sent.ok()) fileBytes += uint64_t(sent.value());
      error = sent.ok() ? pacer.AfterBlock() : sent.status();
      if (!error.ok() && Gone(s)) return kSessionGone;
      continue;
    }
    const Result<int64_t> n = file.Read(buffer.data(), chunk);
    if (!n.ok()) {
      error = n.status();
      break;
    }
    if (n.value() == 0) {
      if (!pacer.Finish()) return kSessionGone;
      break;
    }
    const uint32_t length = text ? uint32_t(ExpandLineEnds(buffer.data(), size_t(n.value()))) : uint32_t(n.value());
    const Result<int32_t> written = WriteData(s, buffer.data(), length);
    // The statistics count the file's bytes, not the wire's line ends.
    fileBytes += uint64_t(n.value());
    if (written.ok() && text && s.bytesBuffered == 0) s.bytesTransferred.store(fileBytes);
    error = written.ok() ? pacer.AfterBlock() : written.status();
    if (!error.ok() && Gone(s)) return kSessionGone;
  }
  aside.Restore();
  buffer.Free();
  // The upload's outcome is the server's final reply: what the local close meets adds nothing.
  static_cast<void>(file.Close());
  error = CloseTransfer(s, error, true);
  if (Gone(s)) return kSessionGone;
  if (!error.ok()) return error;
  if (text) s.bytesTransferred.store(fileBytes);
  return Verified(s, verify, local, remote);
}

Status RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept {
  if (Empty(remote) || !buffer || !length) return Status(cvErrorInvalidParameter);
  const uint32_t wanted = *length;
  if (wanted == 0) *static_cast<plat::HGLOBAL*>(buffer) = nullptr;
  if (IsSftp(s)) return sftp::RetrieveData(s, remote, buffer, length);
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);

  BeginStatistics(s, nullptr, remote, 0);
  s.transferStart.store(plat::GetTickCount() | 1);
  SocketEventsAside aside(s, FtpState::Downloading);
  uint64_t size = 0;
  bool sizeKnown = false;
  if (const Status probed = ProbeSize(s, remote, &size, &sizeKnown); !probed.ok()) return probed;
  s.fileSize.store(size);

  const Result<int32_t> opened = OpenFileEx(s, remote, kDirectionReceive, 0, nullptr);
  if (Gone(s)) return kSessionGone;
  Status error = OpenError(opened);
  if (error.ok() && !sizeKnown && AnnouncedSize(s.replyText, &size)) {
    sizeKnown = true;
    s.fileSize.store(size);
  }
  const uint64_t expected = sizeKnown && size ? std::min<uint64_t>(size, kMaxMemoryBlock) : s.dataBufferSize;
  const bool text = IsText(s);

  plat::UniqueGlobal block;
  uint64_t capacity = expected;
  uint64_t count = 0;
  uint64_t removed = 0;  // line-end bytes the text conversion took out
  if (error.ok()) {
    block.reset(plat::GlobalAlloc(plat::GHND, size_t(capacity)));
    if (!block) error = Status(cvErrorOutOfMemory);
  }
  TransferPacer pacer(s);
  while (error.ok()) {
    if (count == capacity) {
      // Geometric growth: a file of unknown size costs a few moves, not one per buffer.
      const uint64_t bigger = std::min<uint64_t>(std::max(capacity * 2, capacity + s.dataBufferSize), kMaxMemoryBlock);
      if (bigger <= capacity || !plat::GlobalReAlloc(block.get(), size_t(bigger), plat::GHND)) {
        error = Status(cvErrorOutOfMemory);
        break;
      }
      capacity = bigger;
    }
    char* data = static_cast<char*>(plat::GlobalLock(block.get()));
    const uint32_t room = uint32_t(std::min<uint64_t>(capacity - count, TransferBlock(s)));
    const Result<int32_t> n = data ? ReadData(s, data + count, room) : Result<int32_t>(Status(cvErrorOutOfMemory));
    const uint32_t got = n.ok() ? uint32_t(n.value()) : 0;
    if (got > 0 && text) {
      // Line ends as local text has them; the statistics count the text's bytes.
      const uint64_t end = CollapseLineEnds(data, size_t(count), size_t(count) + got);
      removed += count + got - end;
      s.bytesTransferred.fetch_sub(count + got - end);
      count = end;
    } else if (got > 0) {
      count += got;
    }
    plat::GlobalUnlock(block.get());
    if (Gone(s)) return kSessionGone;
    if (!n.ok()) {
      const uint32_t e = n.error();
      if (e != cvErrorConnectionClosed && e != cvErrorEndOfData) error = n.status();
      break;
    }
    if (got == 0) break;
    error = pacer.AfterBlock();
    if (!error.ok() && Gone(s)) return kSessionGone;
  }
  const uint64_t received = s.bytesTransferred.load();
  RecordedSizeOr(s, received);
  if (error.ok() && !pacer.Finish()) return kSessionGone;
  if (s.dataSocket != INVALID_SOCKET) error = CloseTransfer(s, error);
  if (Gone(s)) return kSessionGone;
  aside.Restore();
  if (error.ok() && sizeKnown && !Delivered(text, received + removed, size)) error = Status(cvErrorFileSizeMismatch);
  // The caller receives data followed by one zero byte, or nothing at all.
  if (error.ok() && count > 0 && !plat::GlobalReAlloc(block.get(), size_t(count + 1), plat::GHND))
    error = Status(cvErrorOutOfMemory);
  if (!error.ok() || count == 0) block.reset();
  if (!error.ok()) {
    *length = 0;
    return error;
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
  return {};
}

Status StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept {
  if (!data && length) return Status(cvErrorInvalidParameter);
  if (IsSftp(s)) return sftp::StoreData(s, remote, data, length);
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);

  BeginStatistics(s, nullptr, remote, 0);
  s.fileSize.store(length);
  s.transferStart.store(plat::GetTickCount() | 1);
  SocketEventsAside aside(s, FtpState::Uploading);
  TypeProbe probe;
  probe.data = data;
  probe.length = length;
  const Result<int32_t> opened = OpenFileEx(s, remote, kDirectionStore, 0, &probe);
  if (Gone(s)) return kSessionGone;
  Status error = OpenError(opened);

  // Text in ASCII type goes out with CR LF line ends, expanded in a scratch block (not
  // data that only its content made text: see StoreFile).
  const bool text = error.ok() && s.fileType == kTypeAscii && !probe.byContent;
  SessionBuffer scratch(s, text);
  if (text && !scratch.data()) error = Status(cvErrorOutOfMemory);
  const uint32_t chunk = text ? scratch.size() / 2 : TransferBlock(s);
  TransferPacer pacer(s);
  const char* p = static_cast<const char*>(data);
  uint32_t sent = 0;
  while (error.ok() && sent < length) {
    const uint32_t n = std::min(length - sent, chunk);
    const char* block = p + sent;
    uint32_t wire = n;
    if (text) {
      std::memcpy(scratch.data(), block, n);
      wire = uint32_t(ExpandLineEnds(scratch.data(), n));
      block = scratch.data();
    }
    const Result<int32_t> written = WriteData(s, block, wire);
    sent += n;
    // The statistics count the data's bytes, not the wire's line ends.
    if (written.ok() && text && s.bytesBuffered == 0) s.bytesTransferred.store(sent);
    error = written.ok() ? pacer.AfterBlock() : written.status();
    if (!error.ok()) {
      if (Gone(s)) return kSessionGone;
      break;
    }
  }
  if (error.ok() && !pacer.Finish()) return kSessionGone;
  if (s.dataSocket != INVALID_SOCKET) error = CloseTransfer(s, error);
  if (Gone(s)) return kSessionGone;
  if (!error.ok()) return error;
  if (text) s.bytesTransferred.store(sent);
  return {};
}

}  // namespace cvftp

using cvftp::Operation;

// The whole-file transfers: 0 (or the reply of a transfer that opened nothing), or -1.
int32_t FtpRetrieveFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::RetrieveFile(s, local, remote, options, offset), -1);
}

int32_t FtpRetrieveFileBasic(LibHandle handle, const char* local, const char* remote) {
  return FtpRetrieveFile(handle, local, remote, 0, 0);
}

int32_t FtpStoreFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::StoreFile(s, local, remote, options, offset), -1);
}

int32_t FtpStoreFileBasic(LibHandle handle, const char* local, const char* remote) {
  return FtpStoreFile(handle, local, remote, 0, 0);
}

int32_t FtpRetrieveData(LibHandle handle, const char* remote, void* buffer, uint32_t* length) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::RetrieveData(s, remote, buffer, length), 0, -1);
}

int32_t FtpStoreData(LibHandle handle, const char* remote, const void* data, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::StoreData(s, remote, data, length), 0, -1);
}
