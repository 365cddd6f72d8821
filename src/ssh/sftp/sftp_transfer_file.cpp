// Whole-file SFTP transfers: downloads into a local file or memory, uploads from a local
// file or memory, through the pipelined queues. The SSH-layer lock is held per exchange
// only, so other threads may use the SSH layer while a transfer runs.
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/errors/error_codes.h"
#include "ssh/proto/channel.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_local.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/sftp/sftp_transfer.h"
#include "ssh/util/alloc.h"

using cvssh::sftp::Locked;
using cvssh::sftp::TransferEvents;

namespace {

constexpr uint32_t kUploadPiece = 4096;

struct TextFree {
  void operator()(char* text) const { CheckedFree(text); }
};
using OwnedText = std::unique_ptr<char, TextFree>;
struct LocalClose {
  void operator()(SftpLocalFile* f) const { SftpLocalClose(f); }
};
using LocalFile = std::unique_ptr<SftpLocalFile, LocalClose>;

int32_t Fail(SshSession* s, uint32_t code) {
  SshSetLastError(s, code);
  return 0;
}

OwnedText ResolveRemote(SshSession* s, const char* remote) {
  OwnedText resolved(SftpResolvePath(s, remote));
  if (!resolved) SshSetLastError(s, cvErrorInvalidFileName);
  return resolved;
}

// Where downloaded blocks go.
class Sink {
 public:
  virtual ~Sink() = default;
  // false with the error stored; *full when nothing more is wanted.
  virtual bool Take(const uint8_t* data, uint32_t length, bool* full) = 0;
  virtual bool Full() const { return false; }
};

// Runs a download to its end: 1, or 0 with the error stored. The queue is freed and the
// remote handle closed in every case.
int32_t RunDownload(SshSession* s, SftpHandle* handle, uint64_t start, TransferEvents& events, Sink& sink) {
  SftpTransferQueue* q;
  {
    Locked lock;
    q = SftpDownloadStart(s, handle, start);
  }
  events.Started();
  bool failed = false, canceled = false, full = sink.Full();
  std::vector<std::pair<uint8_t*, int32_t>> blocks;
  while (!SftpDownloadDone(q) && !full) {
    {
      Locked lock;
      // The READs that replace the blocks taken leave together in one send (the window
      // adjustments go at once); the local file is written afterwards.
      SshHoldOutput(s);
      SftpPacket* reply = SftpReceivePacket(s);
      int32_t result = SftpDownloadReply(q, reply);
      // Replies that have arrived already are taken in the same turn, so the slots they
      // free are asked for again in one burst.
      while (result >= 0 && reply && SftpReplyReady(s)) {
        reply = SftpReceivePacket(s);
        result = SftpDownloadReply(q, reply);
      }
      failed = result < 0 || !reply;
      uint8_t* block;
      int32_t length;
      while (!failed && SftpDownloadData(q, &block, &length)) blocks.emplace_back(block, length);
      if (!failed) SftpDownloadQueue(q);
      SshReleaseOutput(s);
    }
    for (auto [block, length] : blocks) {
      const bool skip = failed || canceled || full || length <= 0;
      const bool ok = skip || sink.Take(block, uint32_t(length), &full);
      CheckedFree(block);
      if (skip) continue;
      if (!ok) {
        failed = true;
        continue;
      }
      events.Moved(uint64_t(length));
      if (SshTestAndClearAbort(s)) canceled = true;
    }
    blocks.clear();
    if (failed || canceled) break;
  }
  if (canceled) {
    SshSetLastError(s, cvErrorOperationCanceled);
    events.Canceled();
  }
  if (failed) cvssh::sftp::NoteLostConnection(s);
  if (cvssh::sftp::Outstanding(q)) cvssh::sftp::Drain(q, true);
  const uint32_t error = SshGetLastError(s);
  SftpTransferFree(q);
  {
    Locked lock;
    cvssh::sftp::Close(s, handle);
  }
  events.Ended();
  const bool ok = !failed && !canceled;
  SshSetLastError(s, ok ? 0 : error);
  return ok ? 1 : 0;
}

// Where uploaded pieces come from: the next piece of at most 4,096 bytes (valid until
// the next call) and its count, 0 at the end, or -1 with the error stored.
class Source {
 public:
  virtual ~Source() = default;
  virtual int32_t Next(const uint8_t** piece) = 0;
};

int32_t RunUpload(SshSession* s, SftpHandle* handle, uint64_t start, TransferEvents& events, Source& source) {
  events.Started();
  SftpTransferQueue* q = SftpUploadStart(s, handle, start);
  bool failed = false, canceled = false, used = false;
  while (!(used || failed || canceled) || !SftpDownloadDone(q)) {
    if (!SshIsConnected(s)) {
      SshSetLastError(s, cvErrorConnectionClosed);
      failed = true;
      break;
    }
    // The pieces of one round leave as full channel packets (released below).
    {
      Locked lock;
      SshHoldOutput(s);
    }
    while (SftpUploadReady(q) && !used && !failed && !canceled) {
      const uint8_t* piece;
      int32_t n = source.Next(&piece);
      if (n < 0) {
        failed = true;
        break;
      }
      if (n == 0) {
        used = true;
        break;
      }
      {
        Locked lock;
        SftpUploadData(q, piece, uint32_t(n));
      }
      if (SshTestAndClearAbort(s)) {
        canceled = true;
        events.Canceled();
      }
      events.Moved(uint64_t(n));
    }
    {
      Locked lock;
      SshReleaseOutput(s);
    }
    if (failed || canceled) break;
    if (q->first) {
      Locked lock;
      SftpPacket* reply = SftpReceivePacket(s);
      if (SftpUploadReply(q, reply) < 0) {
        failed = true;
        break;
      }
      // Every reply already here frees room at once: the next pieces leave together.
      while (q->first && SftpReplyReady(s)) {
        if (SftpUploadReply(q, SftpReceivePacket(s)) < 0) {
          failed = true;
          break;
        }
      }
      if (failed) break;
    }
  }
  if (canceled) SshSetLastError(s, cvErrorOperationCanceled);
  if (failed) cvssh::sftp::NoteLostConnection(s);
  if (cvssh::sftp::Outstanding(q)) cvssh::sftp::Drain(q, false);
  const uint32_t error = SshGetLastError(s);
  SftpTransferFree(q);
  {
    Locked lock;
    cvssh::sftp::Close(s, handle);
  }
  events.Ended();
  const bool ok = !failed && !canceled;
  SshSetLastError(s, ok ? 0 : error);
  return ok ? 1 : 0;
}

class FileSink final : public Sink {
 public:
  FileSink(SshSession* s, SftpLocalFile* f) : s_(s), f_(f) {}
  bool Take(const uint8_t* data, uint32_t length, bool*) override {
    if (SftpLocalWrite(f_, data, length) == int32_t(length)) return true;
    SshSetLastError(s_, cvErrorFileWriteFailed);
    return false;
  }

 private:
  SshSession* s_;
  SftpLocalFile* f_;
};

// Blocks of (n / 4,096 + 1) x 4,096 bytes, as a memory download hands them out.
size_t BlockSizeFor(uint32_t n) { return (size_t(n) / 4096 + 1) * 4096; }

// A memory download into a movable global block. Its first size comes from the remote
// size; when that size was only the server's word (the caller set no smaller limit), data
// beyond it is still taken and the block grows: files such as those under /proc report 0
// and have content.
class MemorySink final : public Sink {
 public:
  MemorySink(SshSession* s, plat::HGLOBAL memory, uint8_t* bytes, uint32_t limit, uint32_t cap, uint32_t* length)
      : s_(s), memory_(memory), bytes_(bytes), limit_(limit), cap_(cap), length_(length) {}
  bool Take(const uint8_t* data, uint32_t length, bool* full) override {
    if (length > limit_ - *length_ && limit_ < cap_ && !Grow(length)) return false;
    uint32_t n = std::min(length, limit_ - *length_);
    std::memcpy(bytes_ + *length_, data, n);
    *length_ += n;
    *full = Full();
    // Data past every limit the caller allowed cannot be handed out with a 32-bit length.
    if (n < length && limit_ == UINT32_MAX && cap_ == UINT32_MAX) {
      SshSetLastError(s_, cvErrorOutOfMemory);
      return false;
    }
    return true;
  }
  bool Full() const override { return *length_ >= limit_ && limit_ >= cap_; }
  // The block as it is handed out: unlocked, and no larger than its length calls for.
  void Finish() {
    plat::GlobalUnlock(memory_);
    if (grown_) plat::GlobalReAlloc(memory_, BlockSizeFor(*length_), plat::GHND);
  }

 private:
  bool Grow(uint32_t more) {
    const uint64_t wanted = std::max<uint64_t>(uint64_t(*length_) + more, uint64_t(limit_) * 2);
    const uint32_t limit = uint32_t(std::min<uint64_t>(wanted, cap_));
    plat::GlobalUnlock(memory_);
    const bool grown = plat::GlobalReAlloc(memory_, BlockSizeFor(limit), plat::GHND) != nullptr;
    bytes_ = static_cast<uint8_t*>(plat::GlobalLock(memory_));
    if (!grown) {
      SshSetLastError(s_, cvErrorOutOfMemory);
      return false;
    }
    limit_ = limit;
    grown_ = true;
    return true;
  }

  SshSession* s_;
  plat::HGLOBAL memory_;
  uint8_t* bytes_;
  uint32_t limit_;  // what the block holds now
  uint32_t cap_;    // what it may grow to
  uint32_t* length_;
  bool grown_ = false;
};

// The local file is read in large blocks and cut into the protocol's pieces, so a
// megabyte costs 16 reads rather than 256.
class FileSource final : public Source {
 public:
  FileSource(SshSession* s, SftpLocalFile* f) : s_(s), f_(f) {}
  int32_t Next(const uint8_t** piece) override {
    if (at_ == filled_) {
      int32_t n = SftpLocalReadUpTo(f_, buffer_.get(), kFileBlock);
      if (n < 0) {
        SshSetLastError(s_, cvErrorFileReadFailed);
        return n;
      }
      at_ = 0;
      filled_ = uint32_t(n);
    }
    const uint32_t n = std::min(filled_ - at_, kUploadPiece);
    *piece = buffer_.get() + at_;
    at_ += n;
    return int32_t(n);
  }

 private:
  static constexpr uint32_t kFileBlock = 65536;
  SshSession* s_;
  SftpLocalFile* f_;
  std::unique_ptr<uint8_t[]> buffer_{new uint8_t[kFileBlock]};
  uint32_t at_ = 0, filled_ = 0;
};

class MemorySource final : public Source {
 public:
  MemorySource(const void* data, uint32_t length) : data_(static_cast<const uint8_t*>(data)), left_(length) {}
  int32_t Next(const uint8_t** piece) override {
    uint32_t n = std::min(left_, kUploadPiece);
    *piece = data_;
    data_ += n;
    left_ -= n;
    return int32_t(n);
  }

 private:
  const uint8_t* data_;
  uint32_t left_;
};

}  // namespace

int32_t SftpRetrieveFile(SshSession* s, const char* local, const char* remote, int32_t append, uint64_t offset) {
  if (!cvssh::sftp::CheckTransfer(s, local, true, remote, append, offset)) return 0;
  OwnedText path = ResolveRemote(s, remote);
  if (!path) return 0;
  SftpAttributes a;
  SftpHandle* handle;
  {
    Locked lock;
    if (!cvssh::sftp::Stat(s, path.get(), &a)) return 0;
    handle = cvssh::sftp::Open(s, path.get(), kSftpOpenRead);
  }
  if (!handle) return 0;
  TransferEvents events(s, 1, local, path.get(), a.size, 1);
  LocalFile file;
  if (append || offset) {
    file.reset(SftpLocalOpenWrite(local));
    if (!file && append) file.reset(SftpLocalCreate(local));
  } else {
    file.reset(SftpLocalCreate(local));
  }
  if (!file) {
    Locked lock;
    cvssh::sftp::Close(s, handle);
    return Fail(s, cvErrorFileNotFound);
  }
  uint64_t start = 0;
  if (append) {
    SftpLocalSeek(file.get(), 0, 2);
  } else if (offset) {
    // A restart never leaves a gap: beyond the local file's end it continues from there.
    SftpLocalSeek(file.get(), 0, 2);
    if (offset < SftpLocalTell(file.get()) && SftpLocalSeek(file.get(), offset, 0) != 0) SftpLocalSeek(file.get(), 0, 2);
    start = SftpLocalTell(file.get());
  }
  events.info().offset = start;
  FileSink sink(s, file.get());
  return RunDownload(s, handle, start, events, sink);
}

int32_t SftpRetrieveData(SshSession* s, const char* remote, plat::HGLOBAL* block, uint32_t* length,
                         uint32_t limit) {
  if (s && (!block || !length)) return Fail(s, cvErrorInvalidParameter);
  if (block) *block = nullptr;
  if (length) *length = 0;
  if (!cvssh::sftp::CheckTransfer(s, nullptr, false, remote, 0, 0)) return 0;
  OwnedText path = ResolveRemote(s, remote);
  if (!path) return 0;
  SftpAttributes a;
  {
    Locked lock;
    if (!cvssh::sftp::Stat(s, path.get(), &a)) return 0;
  }
  // A whole file of 4 GiB or more cannot be handed out with a 32-bit length: that is an
  // error, not a download cut short without a word.
  if (limit == 0 && a.size > UINT32_MAX) return Fail(s, cvErrorOutOfMemory);
  const uint32_t size = uint32_t(std::min<uint64_t>(a.size, UINT32_MAX));
  // A limit of the caller's own is kept; one taken from the remote size may be passed.
  const uint32_t cap = limit == 0 ? UINT32_MAX : limit;
  if (limit == 0 || limit > size) limit = size;
  plat::HGLOBAL memory = plat::GlobalAlloc(plat::GHND, BlockSizeFor(limit));
  auto* bytes = memory ? static_cast<uint8_t*>(plat::GlobalLock(memory)) : nullptr;
  if (!bytes) {
    if (memory) plat::GlobalFree(memory);
    return Fail(s, cvErrorOutOfMemory);
  }
  *block = memory;
  TransferEvents events(s, 1, nullptr, path.get(), a.size, 1);
  SftpHandle* handle;
  {
    Locked lock;
    handle = cvssh::sftp::Open(s, path.get(), kSftpOpenRead);
  }
  if (!handle) {
    plat::GlobalUnlock(memory);
    plat::GlobalFree(memory);
    *block = nullptr;
    return 0;
  }
  MemorySink sink(s, memory, bytes, limit, cap, length);
  int32_t result = RunDownload(s, handle, 0, events, sink);
  sink.Finish();
  return result;
}

int32_t SftpStoreFile(SshSession* s, const char* local, const char* remote, int32_t append, uint64_t offset) {
  if (!cvssh::sftp::CheckTransfer(s, local, true, remote, append, offset)) return 0;
  uint64_t localSize = 0;
  LocalFile file(SftpLocalOpenRead(local, &localSize));
  if (!file) return Fail(s, cvErrorFileNotFound);
  OwnedText path = ResolveRemote(s, remote);
  if (!path) return 0;
  TransferEvents events(s, 2, local, path.get(), localSize, 2);
  uint64_t start = 0;
  SftpHandle* handle;
  {
    Locked lock;
    handle = cvssh::sftp::Open(s, path.get(),
                               append || offset ? kSftpOpenWrite | kSftpOpenCreate
                                                : kSftpOpenWrite | kSftpOpenCreate | kSftpOpenTruncate);
    if (!handle) return 0;
    if (append || offset) {
      SftpAttributes a{};
      const bool stat = cvssh::sftp::Fstat(s, handle, &a);
      if (!stat || !(a.flags & kSftpAttrSize)) {
        const uint32_t error = stat ? cvErrorOperationNotSupported : SshGetLastError(s);
        cvssh::sftp::Close(s, handle);
        return Fail(s, error);
      }
      if (append) {
        start = a.size;
      } else {
        start = std::min(offset, a.size);
        if (SftpLocalSeek(file.get(), start, 0) != 0) SftpLocalSeek(file.get(), 0, 2);
      }
    }
  }
  events.info().offset = start;
  FileSource source(s, file.get());
  return RunUpload(s, handle, start, events, source);
}

int32_t SftpStoreData(SshSession* s, const char* remote, const void* data, uint32_t length) {
  if (s && !data) return Fail(s, cvErrorInvalidParameter);
  if (!cvssh::sftp::CheckTransfer(s, nullptr, false, remote, 0, 0)) return 0;
  OwnedText path = ResolveRemote(s, remote);
  if (!path) return 0;
  TransferEvents events(s, 2, nullptr, path.get(), length, 2);
  SftpHandle* handle;
  {
    Locked lock;
    handle = cvssh::sftp::Open(s, path.get(), kSftpOpenWrite | kSftpOpenCreate | kSftpOpenTruncate);
  }
  if (!handle) return 0;
  MemorySource source(data, length);
  return RunUpload(s, handle, 0, events, source);
}
