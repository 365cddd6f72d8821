#pragma once
// The clipboard: an in-process store of data blocks by format. One thread at a time has it
// open; data set while open belongs to the clipboard, which frees it when it is emptied.
#include <cstdint>

#include "platform/base/heap.h"
#include "platform/types.h"

namespace plat {

inline constexpr uint32_t CF_TEXT = 1;

// False while another thread has it open.
bool OpenClipboard(HWND owner) noexcept;
bool CloseClipboard() noexcept;
// Frees every block held; the caller must have the clipboard open.
bool EmptyClipboard() noexcept;
// Takes ownership of the block; null when the clipboard is not open by the caller.
HGLOBAL SetClipboardData(uint32_t format, HGLOBAL block) noexcept;
// The block held for the format (still owned by the clipboard); the caller must have it open.
HGLOBAL GetClipboardData(uint32_t format) noexcept;
bool IsClipboardFormatAvailable(uint32_t format) noexcept;

}  // namespace plat
