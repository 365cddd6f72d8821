#pragma once
// The HTTP library's session record. It starts with the header every library shares; the
// connection, request and response fields follow as the library grows.
#include <cstddef>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/base/heap.h"
#include "platform/types.h"

inline constexpr size_t kHttpTlsBufferSize = 65536;
inline constexpr int kHttpTlsBufferCount = 2;

struct HttpClientSession {
  LibSessionHeader header;
  uint32_t options;       // connect options; kLibOptionFreeThreaded among them
  plat::HeapHandle heap;  // the session's private heap, created on first use
  HWND socketWindow;      // the window whose socket notifications this session receives
  uint32_t timeout;       // seconds
  uint32_t priority;
  uint32_t urlEncoding;
  char* tlsBuffers[kHttpTlsBufferCount];  // kHttpTlsBufferSize each, from the session heap
};
