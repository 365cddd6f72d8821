// Content decoding: the response's Content-Encoding, and zlib or gzip bodies inflated in
// memory or as a file in place (through a temporary file). Hostile data ends every loop:
// output is bounded (see kInflateLimit), a stream that stops making progress is corrupt,
// and the session's timeout and cancel apply.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "http/http_internal.h"
#include "http/http_transfer.h"
#include "platform/base/tick.h"

namespace cvhttp {

namespace {

constexpr const char* kEncodings[] = {"identity", "compress", "deflate", "gzip", "zlib"};
constexpr uint32_t kStep = 8192;
constexpr size_t kGrowStep = 65536;

// One inflate stream, released with its scope.
class Inflater {
 public:
  Inflater() { ok_ = inflateInit2(&z_, 15 + 32) == Z_OK; }
  ~Inflater() {
    if (ok_) inflateEnd(&z_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool ok() const { return ok_; }

  enum class Step { More, End, Bad };
  // Inflates into out (kStep bytes); produced receives the byte count. The caller feeds
  // input whenever the stream holds none, so a step that neither takes input nor gives
  // output can never finish: the data is cut short or asks for what we cannot supply
  // (a preset dictionary).
  Step Run(unsigned char* out, uint32_t& produced) {
    const uInt before = z_.avail_in;
    z_.next_out = out;
    z_.avail_out = kStep;
    const int r = inflate(&z_, Z_NO_FLUSH);
    produced = kStep - z_.avail_out;
    if (r == Z_STREAM_END) return Step::End;
    if (r != Z_OK && r != Z_BUF_ERROR) return Step::Bad;
    if (produced == 0 && z_.avail_in == before) return Step::Bad;
    return Step::More;
  }
  void Feed(const unsigned char* data, uint32_t length) {
    for (uint32_t i = 0; i < length && seen_ < 2; ++i) magic_[seen_++] = data[i];
    z_.next_in = const_cast<unsigned char*>(data);
    z_.avail_in = length;
  }
  uint32_t pending() const { return z_.avail_in; }
  // After the end of a gzip member, more input is the next member (gzip allows several, as
  // concatenated files have); false for a zlib stream, which ends once.
  bool NextMember() {
    if (seen_ < 2 || magic_[0] != 0x1f || magic_[1] != 0x8b) return false;
    return inflateReset2(&z_, 15 + 16) == Z_OK;
  }

 private:
  z_stream z_{};
  bool ok_ = false;
  unsigned char magic_[2] = {};  // the stream's first two bytes
  uint32_t seen_ = 0;
};

// The session's timeout and cancel over one decoding loop; without a session, neither.
class Watch {
 public:
  explicit Watch(HttpClientSession* s) : s_(s), start_(plat::GetTickCount()) {}
  // A cancel or a time-out ends the loop (its event fired).
  Status Check() {
    if (!s_) return {};
    if (s_->cancel.load()) return Raise(*s_, cvErrorOperationCanceled, kEventCancel);
    if (s_->timeout && plat::GetTickCount() - start_ > s_->timeout * 1000u)
      return Raise(*s_, cvErrorOperationTimeout, kEventTimeout);
    return {};
  }

 private:
  HttpClientSession* s_;
  uint32_t start_;
};

}  // namespace

int32_t ContentEncoding(HttpClientSession& s) noexcept {
  char value[128] = {};
  if (const char* v = FindHeader(s, s.responseHeaders, "Content-Encoding")) CopyField(value, v);
  for (int32_t i = 0; i < 5; ++i)
    if (EqualNoCase(value, kEncodings[i])) return i;
  return 0;
}

uint64_t DecodedLimit(uint64_t compressed) noexcept {
  return std::min(kInflateLimit, std::max(kInflateFloor, compressed * kInflateRatio));
}

Status InflateBlock(HttpClientSession* s, const void* data, uint32_t length, uint64_t limit, bool cut,
                    plat::HGLOBAL* result, uint32_t* resultLength) noexcept {
  plat::UniqueGlobal block(plat::GlobalAlloc(plat::GHND, kGrowStep));
  if (!block) return Status(cvErrorOutOfMemory);
  Inflater z;
  if (!z.ok()) return Status(cvErrorOutOfMemory);
  limit = std::min<uint64_t>(limit, 0xFFFFFFFEu);
  Watch watch(s);
  const auto* in = static_cast<const unsigned char*>(data);
  uint32_t fed = 0;
  uint64_t total = 0;
  unsigned char window[kStep];
  for (;;) {
    if (z.pending() == 0 && fed < length) {
      const uint32_t n = std::min(kStep, length - fed);
      z.Feed(in + fed, n);
      fed += n;
    }
    uint32_t produced = 0;
    const Inflater::Step step = z.Run(window, produced);
    if (step == Inflater::Step::Bad) return Status(cvErrorInvalidEncodingType);
    // Past the limit: a caller's buffer takes what fits, anything else is a bomb.
    if (produced > limit - total && !cut) return Status(cvErrorInvalidEncodingType);
    const uint64_t keep = std::min<uint64_t>(produced, limit - total);
    if (keep) {
      if (const size_t capacity = plat::GlobalSize(block.get()); total + keep + 1 > capacity) {
        // Geometric growth in whole steps: no quadratic copying for long results.
        const uint64_t wanted = std::min(std::max<uint64_t>(total + keep, uint64_t(capacity) * 2), limit) + 1;
        const size_t size = size_t((wanted + kGrowStep - 1) / kGrowStep * kGrowStep);
        if (!plat::GlobalReAlloc(block.get(), size, plat::GMEM_MOVEABLE)) return Status(cvErrorOutOfMemory);
      }
      auto* p = static_cast<unsigned char*>(plat::GlobalLock(block.get()));
      std::memcpy(p + total, window, size_t(keep));
      plat::GlobalUnlock(block.get());
      total += keep;
    }
    if (cut && total == limit) break;
    if (step == Inflater::Step::End) {
      if (z.pending() == 0 && fed == length) break;
      // Bytes after the end of the stream are the next gzip member, or not part of the
      // body we were promised.
      if (!z.NextMember()) return Status(cvErrorInvalidEncodingType);
    }
    if (const Status watched = watch.Check(); !watched.ok()) return watched;
  }
  // The block keeps the zero byte after the data and nothing more.
  plat::GlobalReAlloc(block.get(), size_t(std::max<uint64_t>(total + 1, kGrowStep)), plat::GMEM_MOVEABLE);
  *result = block.release();
  *resultLength = uint32_t(total);
  return {};
}

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Decodes source into the open temporary file.
Status InflateInto(HttpClientSession& s, int source, int target, bool text) {
  Inflater z;
  if (!z.ok()) return Status(cvErrorOutOfMemory);
  Watch watch(&s);
  unsigned char input[kStep];
  unsigned char window[kStep];
  bool inputDone = false;
  uint32_t last = 0;
  uint64_t total = 0;
  auto readSome = [&](ssize_t& n) {
    do n = read(source, input, sizeof input);
    while (n < 0 && errno == EINTR);
    return n >= 0;
  };
  for (;;) {
    if (z.pending() == 0 && !inputDone) {
      ssize_t n;
      if (!readSome(n)) return Status(cvErrorFileReadFailed);
      if (n == 0) inputDone = true;
      z.Feed(input, uint32_t(n));
    }
    uint32_t produced = 0;
    const Inflater::Step step = z.Run(window, produced);
    if (step == Inflater::Step::Bad) return Status(cvErrorInvalidFileType);
    total += produced;
    if (total > kInflateLimit) return Status(cvErrorInvalidFileType);
    if (produced) {
      char* out = reinterpret_cast<char*>(window);
      uint32_t outLength = produced;
      if (text) {
        if (const Status converted = ConvertLineEnds(s, out, produced, &out, &outLength, &last).status();
            !converted.ok())
          return converted;
      }
      if (!WriteAll(target, out, outLength)) return Status(cvErrorFileWriteFailed);
    }
    if (step == Inflater::Step::End) {
      if (z.pending() == 0) {
        ssize_t n = 0;
        if (!inputDone && !readSome(n)) return Status(cvErrorFileReadFailed);
        if (n == 0) return {};
        z.Feed(input, uint32_t(n));
      }
      // Bytes after the end of the stream are the next gzip member, or not part of the
      // body we were promised.
      if (!z.NextMember()) return Status(cvErrorInvalidFileType);
    }
    if (const Status watched = watch.Check(); !watched.ok()) return watched;
  }
}

}  // namespace

bool WriteAll(int fd, const char* data, uint32_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= uint32_t(n);
  }
  return true;
}

Status InflateFile(HttpClientSession& s, const char* fileName, bool text) noexcept {
  if (Empty(fileName)) return Status(cvErrorInvalidFileName);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%x", plat::GetTickCount());
  const std::string temporary = std::string(fileName) + suffix;
  Status inflated;
  {
    Fd source, target;
    source.fd = open(fileName, O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) return Status(cvErrorFileNotFound);
    // An empty body decodes to nothing, as it does in memory.
    struct stat st {};
    if (fstat(source.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) return {};
    target.fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (target.fd < 0) return Status(cvErrorFileNotCreated);
    inflated = InflateInto(s, source.fd, target.fd, text);
  }
  if (!inflated.ok()) {
    unlink(temporary.c_str());
    return inflated;
  }
  if (rename(temporary.c_str(), fileName) != 0) {
    unlink(temporary.c_str());
    return Status(cvErrorFileNotCreated);
  }
  return {};
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpGetContentEncoding(LibHandle handle) {
  HttpClientSession* s = HttpGetSession(handle);
  return s ? ContentEncoding(*s) : -1;
}

int32_t HttpInflateData(plat::HGLOBAL block, uint32_t length, plat::HGLOBAL* result, uint32_t* resultLength) {
  if (!block || length == 0 || !result || !resultLength) return Finish(Status(cvErrorInvalidParameter), 1, 0);
  const void* data = plat::GlobalLock(block);
  if (!data || plat::GlobalSize(block) < length) {
    if (data) plat::GlobalUnlock(block);
    return Finish(Status(cvErrorInvalidParameter), 1, 0);
  }
  const Status inflated = InflateBlock(nullptr, data, length, DecodedLimit(length), false, result, resultLength);
  plat::GlobalUnlock(block);
  return Finish(inflated, 1, 0);
}

int32_t HttpInflateFile(LibHandle handle, const char* fileName, uint32_t text) {
  Operation op(handle);
  return op ? Finish(InflateFile(*op.session(), fileName, text != 0), 1, 0) : 0;
}
