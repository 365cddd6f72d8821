// The deflate length and distance code tables (RFC 1951 section 3.2.5) and the output
// buffer both directions grow.
#pragma once

#include <cstdint>
#include <cstring>

namespace sshzlib {

struct CodeRange {
  uint16_t base;
  uint8_t extra_bits;
};

// Length codes 257 to 285.
inline constexpr CodeRange kLengthCodes[29] = {
    {3, 0},   {4, 0},   {5, 0},   {6, 0},   {7, 0},   {8, 0},   {9, 0},   {10, 0},  {11, 1},  {13, 1},
    {15, 1},  {17, 1},  {19, 2},  {23, 2},  {27, 2},  {31, 2},  {35, 3},  {43, 3},  {51, 3},  {59, 3},
    {67, 4},  {83, 4},  {99, 4},  {115, 4}, {131, 5}, {163, 5}, {195, 5}, {227, 5}, {258, 0}};

// Distance codes 0 to 29.
inline constexpr CodeRange kDistanceCodes[30] = {
    {1, 0},     {2, 0},     {3, 0},     {4, 0},     {5, 1},     {7, 1},     {9, 2},     {13, 2},
    {17, 3},    {25, 3},    {33, 4},    {49, 4},    {65, 5},    {97, 5},    {129, 6},   {193, 6},
    {257, 7},   {385, 7},   {513, 8},   {769, 8},   {1025, 9},  {1537, 9},  {2049, 10}, {3073, 10},
    {4097, 11}, {6145, 11}, {8193, 12}, {12289, 12}, {16385, 13}, {24577, 13}};

inline constexpr int kWindowSize = 32768;
inline constexpr int kWindowMask = kWindowSize - 1;

// A byte buffer grown by doubling; replaced memory is wiped, since it holds session data.
class OutBuffer {
 public:
  explicit OutBuffer(int32_t initial) : initial_(initial) {}
  ~OutBuffer();
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;
  // False when memory is short.
  bool Put(uint8_t byte) {
    if (length_ == capacity_ && !Grow()) return false;
    data_[length_++] = byte;
    return true;
  }
  int32_t length() const { return length_; }
  // Hands the bytes to the caller (at least a one-byte allocation, even when empty).
  uint8_t* Release(int32_t* length);

 private:
  bool Grow();
  int32_t initial_;
  uint8_t* data_ = nullptr;
  int32_t length_ = 0;
  int32_t capacity_ = 0;
};

}  // namespace sshzlib
