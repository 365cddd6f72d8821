#pragma once
// What every fuzz target is built from: a registration macro, a reader that cuts the input
// into the small decisions and texts a target needs, and the oracle check. One target file
// is linked into each fuzzer; the replay program links them all.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace cvfuzz {

using Entry = void (*)(const uint8_t* data, size_t size);

struct Target {
  const char* name;
  Entry entry;
};

// Adds a target to the table (at static initialisation); returns 0.
int Register(const char* name, Entry entry);
const std::vector<Target>& Targets();

// Takes pieces from the front of the input; once it runs dry every piece is zero or empty,
// so a short input still drives the target to its end.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return size_ ? (--size_, *data_++) : 0; }
  bool Bool() { return Byte() & 1; }
  uint32_t Below(uint32_t n) { return n ? Byte() % n : 0; }
  uint16_t U16() { return uint16_t(Byte() << 8 | Byte()); }
  // A text of at most max bytes, ended by a zero byte in the input (or by its end).
  std::string Text(size_t max = 4096) {
    std::string out;
    while (size_ && out.size() < max) {
      const char c = char(Byte());
      if (c == '\0') break;
      out += c;
    }
    return out;
  }
  std::string_view Rest() {
    std::string_view out(reinterpret_cast<const char*>(data_), size_);
    data_ += size_;
    size_ = 0;
    return out;
  }
  size_t left() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

[[noreturn]] inline void OracleFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz oracle failed: %s (%s:%d)\n", what, file, line);
  std::abort();
}

}  // namespace cvfuzz

// A logic check of a target: a false condition aborts, which the fuzzer reports as a finding.
#define FUZZ_CHECK(condition)                                                           \
  do {                                                                                  \
    if (!(condition)) ::cvfuzz::OracleFailed(#condition, __FILE__, __LINE__);           \
  } while (0)

#define CV_FUZZ_TARGET(name)                                                            \
  static void CvFuzzBody_##name(const uint8_t* data, size_t size);                      \
  [[maybe_unused]] static const int cvFuzzRegistered_##name =                           \
      ::cvfuzz::Register(#name, CvFuzzBody_##name);                                     \
  static void CvFuzzBody_##name(const uint8_t* data, size_t size)
