#pragma once
// The FTP library's session record. It starts with the header every library shares; the
// connection, transfer and TLS fields follow as the library grows.
#include <cstddef>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/base/heap.h"
#include "platform/types.h"

inline constexpr size_t kFtpDataBufferSize = 8192;
inline constexpr size_t kFtpTlsBufferSize = 65536;
inline constexpr int kFtpTlsBufferCount = 4;

struct FtpSession {
  LibSessionHeader header;
  SOCKET dataSocket;
  uint32_t options;     // connect options; kLibOptionFreeThreaded among them
  plat::HeapHandle heap;  // the session's private heap, created on first use
  HWND socketWindow;      // the window whose socket notifications this session receives
  char* dataBuffer;       // kFtpDataBufferSize bytes from the session heap
  char* tlsBuffers[kFtpTlsBufferCount];  // receive/decrypt buffers, kFtpTlsBufferSize each
};
