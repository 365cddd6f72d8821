// The output buffer of the compressor and decompressor.
#include <cstring>

#include "ssh/compress/zlib_tables.h"
#include "ssh/util/alloc.h"

namespace sshzlib {

OutBuffer::~OutBuffer() {
  if (data_) explicit_bzero(data_, static_cast<size_t>(capacity_));
  CheckedFree(data_);
}

bool OutBuffer::Grow() {
  const int32_t capacity = capacity_ ? capacity_ * 2 : initial_;
  if (capacity < capacity_) return false;
  auto* grown = static_cast<uint8_t*>(CheckedAlloc(static_cast<size_t>(capacity), 1));
  if (!grown) return false;
  if (data_) {
    std::memcpy(grown, data_, static_cast<size_t>(length_));
    explicit_bzero(data_, static_cast<size_t>(capacity_));
    CheckedFree(data_);
  }
  data_ = grown;
  capacity_ = capacity;
  return true;
}

uint8_t* OutBuffer::Release(int32_t* length) {
  if (!data_ && !Grow()) return nullptr;
  uint8_t* out = data_;
  if (length) *length = length_;
  data_ = nullptr;
  length_ = capacity_ = 0;
  return out;
}

}  // namespace sshzlib
