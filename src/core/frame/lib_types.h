#pragma once
// The records every protocol library's C-style interface shares.
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace plat {
struct WSADATA;  // the socket layer's start-up record
}

// A session handle: the library's handle base plus the session's slot. -1 means none.
using LibHandle = uintptr_t;
inline constexpr LibHandle kInvalidLibHandle = ~LibHandle(0);

// The version record a control hands to a library's attach.
struct LibVersionInfo {
  uint32_t size;  // must be sizeof(LibVersionInfo), 168
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t build;
  uint32_t options;  // 0 or bit kLibAttachFull: full attach; anything else only fills the record
  uint32_t reserved1;
  uint64_t reserved2;
  plat::WSADATA* startupData;  // after a full attach: the library's socket start-up data
  char banner[128];
};
static_assert(sizeof(LibVersionInfo) == 168, "the record's size is part of the interface");

inline constexpr uint32_t kLibVersionMajor = 9;
inline constexpr uint32_t kLibVersionMinor = 5;
inline constexpr uint32_t kLibVersionBuild = 9530;
inline constexpr uint32_t kLibAttachFull = 0x20000000;

// Session option bit: the handle may be used from any thread.
inline constexpr uint32_t kLibOptionFreeThreaded = 0x80000;

// The fields every client library's session record starts with, in this order.
struct LibSessionHeader {
  LibHandle handle;
  uint32_t slot;
  uint32_t ownerThread;
  SOCKET controlSocket;  // INVALID_SOCKET when closed
};
