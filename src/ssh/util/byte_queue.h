#pragma once
// A first-in first-out byte queue in one contiguous buffer: what is queued can always be
// handed on in one piece (one send, one packet), and taking bytes from the front costs
// no move until the free room at the front outweighs what is left.
#include <cstddef>
#include <cstdint>

class ByteQueue {
 public:
  ByteQueue() = default;
  ~ByteQueue();
  ByteQueue(const ByteQueue&) = delete;
  ByteQueue& operator=(const ByteQueue&) = delete;

  size_t size() const noexcept { return tail_ - head_; }
  bool empty() const noexcept { return tail_ == head_; }
  const uint8_t* data() const noexcept { return buffer_ + head_; }

  void Append(const void* bytes, size_t length);
  // Room for `length` more bytes at the end; Commit makes them part of the queue.
  uint8_t* Reserve(size_t length);
  void Commit(size_t length) noexcept { tail_ += length; }
  // Drops up to `length` bytes from the front.
  void Consume(size_t length) noexcept;
  // Empties the queue and releases the buffer (wiped first: it may have held secrets).
  void Clear() noexcept;

 private:
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t tail_ = 0;
};
