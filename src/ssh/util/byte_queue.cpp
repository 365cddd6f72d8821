// The contiguous byte queue.
#include "ssh/util/byte_queue.h"

#include <strings.h>

#include <cstring>

#include "ssh/util/alloc.h"

ByteQueue::~ByteQueue() { Clear(); }

uint8_t* ByteQueue::Reserve(size_t length) {
  if (capacity_ - tail_ >= length) return buffer_ + tail_;
  const size_t used = size();
  if (head_ && capacity_ - used >= length && head_ >= used) {
    // Enough room once the front is reclaimed, and the move is cheap next to what it saves.
    std::memmove(buffer_, buffer_ + head_, used);
  } else {
    size_t capacity = capacity_ ? capacity_ : 4096;
    while (capacity < used + length) capacity *= 2;
    auto* grown = static_cast<uint8_t*>(cvssh::AllocOrDie(capacity));
    if (used) std::memcpy(grown, buffer_ + head_, used);
    if (buffer_) {
      explicit_bzero(buffer_, capacity_);
      CheckedFree(buffer_);
    }
    buffer_ = grown;
    capacity_ = capacity;
  }
  head_ = 0;
  tail_ = used;
  return buffer_ + tail_;
}

void ByteQueue::Append(const void* bytes, size_t length) {
  if (!length) return;
  std::memcpy(Reserve(length), bytes, length);
  tail_ += length;
}

void ByteQueue::Consume(size_t length) noexcept {
  head_ += length < size() ? length : size();
  if (head_ == tail_) head_ = tail_ = 0;
}

void ByteQueue::Clear() noexcept {
  if (buffer_) {
    explicit_bzero(buffer_, capacity_);
    CheckedFree(buffer_);
  }
  buffer_ = nullptr;
  capacity_ = head_ = tail_ = 0;
}
