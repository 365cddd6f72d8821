// The SSH "zlib" compression method (RFC 4253 section 6.2), written here rather than
// taken from a library: a deflate compressor that keeps one zlib stream open across all
// packets of a direction and flushes at every packet end, and an incremental inflate
// decoder for any conforming deflate stream.
//
// Output buffers are allocated with CheckedAlloc and belong to the caller.
#pragma once

#include <cstdint>

#include "ssh/proto/compress.h"

struct ZlibCompressor;
struct ZlibDecompressor;

ZlibCompressor* ZlibCompressNew();
void ZlibCompressFree(ZlibCompressor* c);  // null is ignored
// The compressed form of one packet's bytes; always 1.
int32_t ZlibCompress(ZlibCompressor* c, const uint8_t* bytes, int32_t n, uint8_t** out, int32_t* out_length);
// Sends the next packet in stored blocks; returns what that costs beyond the data, in bytes.
int32_t ZlibDisableCompression(ZlibCompressor* c);

ZlibDecompressor* ZlibDecompressNew();
void ZlibDecompressFree(ZlibDecompressor* d);  // null is ignored
// 1 with the bytes decoded so far (a symbol cut off by the end of the input is finished by
// the next call), or 0 with no output on a format error.
int32_t ZlibDecompress(ZlibDecompressor* d, const uint8_t* bytes, int32_t n, uint8_t** out, int32_t* out_length);

// Most bytes one decompress call may produce: far more than the largest SSH packet, so
// only a decompression bomb reaches it, and that call fails.
inline constexpr int32_t kZlibMaxOutput = 1 << 20;

// "zlib" ("zlib (RFC1950)") and "none", whose operations do nothing and report "not done".
extern const SshCompressDesc SshZlibCompress;
extern const SshCompressDesc SshNoneCompress;
