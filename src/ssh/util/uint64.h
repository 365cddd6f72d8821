#pragma once
// Unsigned 64-bit helpers of the SSH layer (file sizes and offsets on the wire).
#include <cstdint>

inline uint64_t Uint64Make(uint32_t high, uint32_t low) { return (uint64_t(high) << 32) | low; }
inline uint64_t Uint64Add(uint64_t a, uint64_t b) { return a + b; }
inline uint64_t Uint64Add32(uint64_t a, uint32_t b) { return a + b; }
inline int Uint64Compare(uint64_t a, uint64_t b) { return a < b ? -1 : a > b ? 1 : 0; }
