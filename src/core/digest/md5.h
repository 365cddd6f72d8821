#pragma once
// MD5 message digest (RFC 1321), used to compare a local file with a server's checksum.
#include <cstddef>
#include <cstdint>

struct Md5Context {
  uint32_t state[4];
  uint32_t count[2];  // number of bits hashed, low word first
  uint8_t block[64];  // partial input block
};

// Starts a digest: the initial state and a bit count of 0.
void Md5Begin(Md5Context* context) noexcept;

// Adds length bytes of data; every full 64-byte block is compressed at once.
void Md5Append(Md5Context* context, const void* data, size_t length) noexcept;

// Pads, appends the bit count, writes the 16-byte digest and clears the whole context.
void Md5End(uint8_t digest[16], Md5Context* context) noexcept;
