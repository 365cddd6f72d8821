#pragma once
// Hands a retrieved message (a global block) to a file, or to the clipboard when no file
// is named.
#include <cstdint>

#include "platform/base/heap.h"

namespace cvmail {

// Writes the block's length bytes to fileName (created or truncated, opened with
// accessMode: O_WRONLY or O_RDWR), or puts the block on the clipboard as text, which then
// owns it. 0, or the error code for the caller's last error.
uint32_t StoreRetrieved(plat::UniqueGlobal& block, uint32_t length, const char* fileName, int accessMode) noexcept;

}  // namespace cvmail
