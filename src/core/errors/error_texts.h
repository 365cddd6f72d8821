#pragma once
// The message table: one English text per error code, shared by every deliverable.
#include <cstdint>
#include <span>

namespace cvcore {

struct ErrorText {
  uint32_t code;     // full code, e.g. 0x80042736
  const char* text;  // single line, no final period
};

// The text of an error code, or nullptr when the table has none. Accepts the full code
// (0x80042736) as well as the bare number (10038).
const char* ErrorTextFor(uint32_t code) noexcept;

// The whole table in ascending order of code (for listings and checks).
std::span<const ErrorText> ErrorTextTable() noexcept;

}  // namespace cvcore
