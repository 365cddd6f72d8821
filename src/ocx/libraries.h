#pragma once
// The C-style protocol libraries a control attaches lazily and takes its error texts from,
// described as a table of their frame entry points.
#include <cstdint>

#include "core/frame/lib_types.h"

namespace ocx {

struct LibraryOps {
  const char* name;
  int32_t (*attach)(LibVersionInfo* info);  // 1 success
  void (*detach)();
  uint32_t (*getLastError)();
  void (*setLastError)(uint32_t code);
  uint32_t (*getErrorText)(uint32_t code, char* buffer);  // buffer of 128 characters; 0: no text
};

}  // namespace ocx
