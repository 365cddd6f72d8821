// Content decoding: the response's Content-Encoding, and zlib or gzip bodies inflated in
// memory or as a file in place (through a temporary file). Output is bounded: never more
// than the caller asked for, and never more than kInflateLimit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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
  // Inflates into out (kStep bytes); produced receives the byte count. inputDone: no more
  // input will come after what the stream holds now.
  Step Run(unsigned char* out, uint32_t& produced, bool inputDone) {
    z_.next_out = out;
    z_.avail_out = kStep;
    const int r = inflate(&z_, Z_NO_FLUSH);
    produced = kStep - z_.avail_out;
    if (r == Z_STREAM_END) return Step::End;
    if (r == Z_BUF_ERROR && produced == 0 && (inputDone || z_.avail_in != 0)) return Step::Bad;  // cut short
    if (r < 0 && r != Z_BUF_ERROR) return Step::Bad;
    if (inputDone && z_.avail_in == 0 && produced == 0) return Step::Bad;
    return Step::More;
  }
  void Feed(const unsigned char* data, uint32_t length) {
    z_.next_in = const_cast<unsigned char*>(data);
    z_.avail_in = length;
  }
  uint32_t pending() const { return z_.avail_in; }

 private:
  z_stream z_{};
  bool ok_ = false;
};

}  // namespace

int32_t ContentEncoding(HttpClientSession& s) noexcept {
  char value[128] = {};
  if (const char* v = FindHeader(s, s.responseHeaders, "Content-Encoding")) CopyField(value, v);
  for (int32_t i = 0; i < 5; ++i)
    if (EqualNoCase(value, kEncodings[i])) return i;
  return 0;
}

// Inflates length bytes at data into a new movable block; at most limit bytes are kept.
// 1, or 0 with 10012 or 12293.
int32_t InflateBlock(const void* data, uint32_t length, uint64_t limit, plat::HGLOBAL* result,
                     uint32_t* resultLength) noexcept {
  plat::UniqueGlobal block(plat::GlobalAlloc(plat::GHND, kGrowStep));
  if (!block) return Fail(cvErrorOutOfMemory), 0;
  Inflater z;
  if (!z.ok()) return Fail(cvErrorOutOfMemory), 0;
  limit = std::min<uint64_t>(limit, kInflateLimit);
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
    const Inflater::Step step = z.Run(window, produced, fed == length);
    if (step == Inflater::Step::Bad) return Fail(cvErrorInvalidEncodingType), 0;
    const uint64_t keep = std::min<uint64_t>(produced, limit - total);
    if (keep) {
      if (total + keep + 1 > plat::GlobalSize(block.get())) {
        const size_t size = size_t((total + keep + 1 + kGrowStep - 1) / kGrowStep * kGrowStep);
        if (!plat::GlobalReAlloc(block.get(), size, plat::GMEM_MOVEABLE)) return Fail(cvErrorOutOfMemory), 0;
      }
      auto* p = static_cast<unsigned char*>(plat::GlobalLock(block.get()));
      std::memcpy(p + total, window, size_t(keep));
      plat::GlobalUnlock(block.get());
      total += keep;
    }
    if (step == Inflater::Step::End || total >= limit) break;
  }
  *result = block.release();
  *resultLength = uint32_t(total);
  return 1;
}

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Decodes source into the open temporary file; 0 or the error.
uint32_t InflateInto(HttpClientSession& s, int source, int target, bool text) {
  Inflater z;
  if (!z.ok()) return cvErrorOutOfMemory;
  unsigned char input[kStep];
  unsigned char window[kStep];
  bool inputDone = false;
  uint32_t last = 0;
  uint64_t total = 0;
  for (;;) {
    if (z.pending() == 0 && !inputDone) {
      const ssize_t n = read(source, input, sizeof input);
      if (n < 0) {
        if (errno == EINTR) continue;
        return cvErrorFileReadFailed;
      }
      if (n == 0) inputDone = true;
      z.Feed(input, uint32_t(n));
    }
    uint32_t produced = 0;
    const Inflater::Step step = z.Run(window, produced, inputDone);
    if (step == Inflater::Step::Bad) return cvErrorInvalidFileType;
    total += produced;
    if (total > kInflateLimit) return cvErrorInvalidFileType;
    if (produced) {
      char* out = reinterpret_cast<char*>(window);
      uint32_t outLength = produced;
      if (text && ConvertLineEnds(s, out, produced, &out, &outLength, &last) < 0) return LastError();
      if (!WriteAll(target, out, outLength)) return cvErrorFileWriteFailed;
    }
    if (step == Inflater::Step::End) return 0;
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

int32_t InflateFile(HttpClientSession& s, const char* fileName, bool text) noexcept {
  if (Empty(fileName)) return Fail(cvErrorInvalidFileName), 0;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%x", plat::GetTickCount());
  const std::string temporary = std::string(fileName) + suffix;
  uint32_t error;
  {
    Fd source, target;
    source.fd = open(fileName, O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) return Fail(cvErrorFileNotFound), 0;
    target.fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (target.fd < 0) return Fail(cvErrorFileNotCreated), 0;
    error = InflateInto(s, source.fd, target.fd, text);
  }
  if (error) {
    unlink(temporary.c_str());
    return Fail(error), 0;
  }
  if (rename(temporary.c_str(), fileName) != 0) {
    unlink(temporary.c_str());
    return Fail(cvErrorFileNotCreated), 0;
  }
  return 1;
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpGetContentEncoding(LibHandle handle) {
  HttpClientSession* s = HttpGetSession(handle);
  return s ? ContentEncoding(*s) : -1;
}

int32_t HttpInflateData(plat::HGLOBAL block, uint32_t length, plat::HGLOBAL* result, uint32_t* resultLength) {
  if (!block || length == 0 || !result || !resultLength) return Fail(cvErrorInvalidParameter), 0;
  const void* data = plat::GlobalLock(block);
  if (!data || plat::GlobalSize(block) < length) {
    if (data) plat::GlobalUnlock(block);
    return Fail(cvErrorInvalidParameter), 0;
  }
  const int32_t r = InflateBlock(data, length, kInflateLimit, result, resultLength);
  plat::GlobalUnlock(block);
  return r;
}

int32_t HttpInflateFile(LibHandle handle, const char* fileName, uint32_t text) {
  Operation op(handle);
  return op ? InflateFile(*op.session(), fileName, text != 0) : 0;
}
