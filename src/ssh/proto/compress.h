#pragma once
// The descriptor through which the packet layer reaches a compression method.
#include <cstdint>

struct SshCompressDesc {
  const char* name;
  void* (*compress_init)();
  void (*compress_cleanup)(void* context);
  // out is allocated with CheckedAlloc; 1 on success.
  int32_t (*compress)(void* context, const uint8_t* in, int32_t inLength, uint8_t** out, int32_t* outLength);
  void* (*decompress_init)();
  void (*decompress_cleanup)(void* context);
  int32_t (*decompress)(void* context, const uint8_t* in, int32_t inLength, uint8_t** out, int32_t* outLength);
  // Bytes the compressor adds when it is switched off until the next packet.
  int32_t (*disable_compression)(void* context);
  const char* text_name;
};

// The "zlib" method, or null while the build has none (then only "none" is offered).
const SshCompressDesc* SshZlibCompressDesc();
