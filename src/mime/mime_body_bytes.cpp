#include "mime/mime_body_bytes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/base/mapped_bytes.h"

namespace cvmime {

namespace {

bool IsMapped(size_t capacity) noexcept { return capacity >= plat::kMappedMinimum; }

}  // namespace

BodyBytes::~BodyBytes() {
  if (IsMapped(capacity_)) plat::UnmapBytes(p_, capacity_);
  else ::operator delete(p_);
}

void BodyBytes::reserve(size_t n) {
  if (n <= capacity_) return;
  // Once mapped, a body starts at a whole huge page, which costs no more than the pages it
  // fills and is not moved again soon.
  if (!IsMapped(capacity_) && IsMapped(n)) n = std::max(n, plat::kMappedStep);
  void* q = nullptr;
  if (IsMapped(capacity_)) {
    q = plat::RemapBytes(p_, capacity_, n);
  } else {
    // Below the mapped size a copy is cheap, and the heap's memory is reused.
    q = IsMapped(n) ? plat::MapBytes(n) : ::operator new(n);
    if (q) {
      if (size_) std::memcpy(q, p_, size_);
      ::operator delete(p_);
    }
  }
  if (!q) throw std::bad_alloc();
  p_ = static_cast<char*>(q);
  capacity_ = n;
}

void BodyBytes::append(const char* text, size_t n) {
  if (n == 0) return;
  // Geometric growth keeps appending line by line linear.
  if (capacity_ - size_ < n) reserve(std::max(size_ + n, capacity_ + capacity_ / 2 + 64));
  std::memcpy(p_ + size_, text, n);
  size_ += n;
}

void BodyBytes::push_back(char c) { append(&c, 1); }

void BodyBytes::assign(std::string_view text) {
  size_ = 0;
  append(text);
}

void BodyBytes::truncate(size_t n) noexcept { size_ = std::min(n, size_); }

void BodyBytes::swap(BodyBytes& other) noexcept {
  std::swap(p_, other.p_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

}  // namespace cvmime
