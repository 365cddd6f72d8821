#pragma once
// The buffered reader of a connection: bytes received ahead of what the protocol has used,
// taken from any byte stream in receives of the buffer's size and handed out as bytes,
// runs or lines. The owner decides when to fill (and so how a fill waits): Fill is one
// attempt, FillWaiting a blocking one. A line longer than the buffer comes in pieces
// (PeekLine says whether the piece ends the line), never cut silently. The storage is
// inside the object, so a session record that holds one keeps its standard layout.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/stream/byte_stream.h"

namespace cvcore {

template <uint32_t Capacity>
class ReadAhead {
  static_assert(Capacity > 0 && Capacity <= 0x7FFFFFFF);

 public:
  static constexpr uint32_t capacity() noexcept { return Capacity; }
  uint32_t size() const noexcept { return end_ - start_; }
  bool empty() const noexcept { return start_ == end_; }
  // The waiting bytes (size() of them).
  const char* data() const noexcept { return buffer_ + start_; }
  void Consume(uint32_t count) noexcept {
    start_ += count < size() ? count : size();
    if (start_ == end_) start_ = end_ = 0;
  }
  void Clear() noexcept { start_ = end_ = 0; }

  // Into an empty buffer, one attempt on in: the stream's result (bytes, 0 at its end,
  // kStreamWouldBlock, -1 with the error reported). With bytes waiting: their count.
  int32_t Fill(ByteStream& in) noexcept {
    if (!empty()) return int32_t(size());
    return Filled(in.Receive(buffer_, Capacity));
  }
  // As Fill, waiting under the stream's rules until bytes or the end come.
  int32_t FillWaiting(ByteStream& in, StreamOrder order) noexcept {
    if (!empty()) return int32_t(size());
    return Filled(ReceiveSome(in, buffer_, Capacity, order));
  }

  // Copies and consumes up to length waiting bytes; the count.
  uint32_t Take(void* out, uint32_t length) noexcept {
    const uint32_t n = length < size() ? length : size();
    if (n) std::memcpy(out, data(), n);
    Consume(n);
    return n;
  }
  bool TakeByte(char& c) noexcept {
    if (empty()) return false;
    c = buffer_[start_];
    Consume(1);
    return true;
  }
  // The waiting bytes up to and including the first line feed, else all of them; the line
  // is whole when the view ends with the line feed. Nothing is consumed.
  std::string_view PeekLine() const noexcept {
    const void* lf = std::memchr(data(), '\n', size());
    return {data(), lf ? uint32_t(static_cast<const char*>(lf) - data()) + 1 : size()};
  }
  // Replaces the contents by bytes that came another way (what followed a TLS stream's
  // end on the same connection); what does not fit is dropped. The count kept.
  uint32_t Put(const void* bytes, uint32_t length) noexcept {
    const uint32_t n = length < Capacity ? length : Capacity;
    if (n) std::memcpy(buffer_, bytes, n);
    start_ = 0;
    end_ = n;
    return n;
  }

 private:
  int32_t Filled(int32_t n) noexcept {
    start_ = 0;
    end_ = n > 0 ? uint32_t(n) : 0;
    return n;
  }

  char buffer_[Capacity];
  uint32_t start_ = 0;
  uint32_t end_ = 0;
};

}  // namespace cvcore
