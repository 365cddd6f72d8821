#pragma once
// Where the text of a message retrieval goes, read by read: into one global block handed to
// the caller at the end, or on to the caller's sink as it arrives; and the hand-over of a
// collected text.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/errors/error_codes.h"
#include "platform/base/heap.h"

namespace cvmail {

class TextTarget {
 public:
  // Once the message is open: a block to collect it starts at `first` bytes and grows up to
  // `ceiling` bytes.
  virtual void Start(uint64_t first, uint64_t ceiling) noexcept = 0;
  // Room for the next read of up to `step` bytes; null when there is none (error in `error`).
  virtual char* Room(uint32_t& error) noexcept = 0;
  // What the read put into the room (0 when it ended or failed).
  virtual void Took(uint32_t n) noexcept = 0;

 protected:
  ~TextTarget() = default;
};

// Collects the text in a global block held in the session's slot while it fills (so that
// the session frees it if it goes away). The block grows doubling, by at most 64 MB at a
// time.
class BlockTarget final : public TextTarget {
 public:
  BlockTarget(plat::HGLOBAL& slot, uint32_t step) noexcept : slot_(slot), step_(step) {}
  BlockTarget(const BlockTarget&) = delete;
  BlockTarget& operator=(const BlockTarget&) = delete;
  ~BlockTarget() {
    if (owned_) plat::GlobalFree(std::exchange(slot_, nullptr));
  }

  void Start(uint64_t first, uint64_t ceiling) noexcept override {
    capacity_ = first;
    ceiling_ = std::min<uint64_t>(ceiling, 0xFFFFFFFFu);
  }
  char* Room(uint32_t& error) noexcept override {
    if (!owned_) {
      slot_ = plat::GlobalAlloc(plat::GHND, size_t(capacity_));
      if (!slot_) return error = cvErrorOutOfMemory, nullptr;
      owned_ = true;
    } else if (capacity_ - used_ < step_) {
      const uint64_t bigger =
          std::min(std::max(capacity_ + step_, std::min<uint64_t>(capacity_ * 2, capacity_ + (64u << 20))), ceiling_);
      if (bigger - used_ < step_ || !plat::GlobalReAlloc(slot_, size_t(bigger), plat::GHND))
        return error = cvErrorOutOfMemory, nullptr;
      capacity_ = bigger;
    }
    return static_cast<char*>(plat::GlobalLock(slot_)) + used_;
  }
  void Took(uint32_t n) noexcept override {
    plat::GlobalUnlock(slot_);
    used_ += n;
  }
  // The block with the text and a NUL behind it; null when no text came.
  plat::HGLOBAL Release() noexcept {
    if (!owned_) return nullptr;
    owned_ = false;
    plat::HGLOBAL block = std::exchange(slot_, nullptr);
    if (used_ == 0) {
      plat::GlobalFree(block);
      return nullptr;
    }
    plat::GlobalReAlloc(block, size_t(used_ + 1), plat::GHND);
    return block;
  }

 private:
  plat::HGLOBAL& slot_;
  uint32_t step_;
  uint64_t capacity_ = 0;
  uint64_t ceiling_ = 0;
  uint64_t used_ = 0;
  bool owned_ = false;  // the slot holds this target's block
};

// Hands each read on to the caller's sink.
template <uint32_t Step>
class SinkTarget final : public TextTarget {
 public:
  using Sink = void (*)(void* context, const char* text, uint32_t length);
  SinkTarget(Sink sink, void* context) noexcept : sink_(sink), context_(context) {}
  void Start(uint64_t, uint64_t) noexcept override {}
  char* Room(uint32_t&) noexcept override { return buffer_; }
  void Took(uint32_t n) noexcept override {
    if (n) sink_(context_, buffer_, n);
  }

 private:
  Sink sink_;
  void* context_;
  char buffer_[Step];
};

// Hands a retrieved text (a block of textLength bytes and a NUL) over as the caller asked:
// copied into the caller's buffer when *length > 0, else as a global block through buffer
// (an HGLOBAL*); as UTF-16 when unicode. Frees the block or hands it on. 0, or the error.
uint32_t HandOverText(plat::HGLOBAL block, uint32_t textLength, void* buffer, uint32_t* length, bool unicode) noexcept;

// A whole retrieval collected in one block (held in the session's slot while it fills) and
// handed over. read(target, used) runs the retrieval (0, or -1 with the library's error
// set); fail(error) sets the library's error and answers -1.
template <typename Read, typename FailFn>
int32_t RetrieveText(plat::HGLOBAL& slot, uint32_t step, void* buffer, uint32_t* length, bool unicode, Read&& read,
                     FailFn&& fail) noexcept {
  // A failed read leaves no stale handle behind.
  if (*length == 0) *static_cast<plat::HGLOBAL*>(buffer) = nullptr;
  uint64_t used = 0;
  plat::HGLOBAL block = nullptr;
  {
    BlockTarget target(slot, step);
    const int32_t r = read(target, used);
    if (r == 0) block = target.Release();
    if (r < 0 || !block) {
      *length = 0;
      return r;
    }
  }
  if (const uint32_t error = HandOverText(block, uint32_t(used), buffer, length, unicode)) return fail(error);
  return 0;
}

// A retrieval handed to the caller's sink read by read; *size (when given) receives the
// bytes read. read(target, used) runs it as for RetrieveText.
template <uint32_t Step, typename Read>
int32_t RetrieveToSink(typename SinkTarget<Step>::Sink sink, void* context, uint32_t* size, Read&& read) noexcept {
  SinkTarget<Step> target(sink, context);
  uint64_t used = 0;
  const int32_t r = read(target, used);
  if (size) *size = uint32_t(used);
  return r;
}

}  // namespace cvmail
