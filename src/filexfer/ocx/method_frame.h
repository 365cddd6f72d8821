#pragma once
// Small pieces of the method frame that every method file uses.
#include <cstdint>
#include <string>

#include "platform/com/com.h"

namespace filexfer {

// The Error argument of a method: through its reference when it has one, else replaced by
// a 32-bit integer. A null pointer (no Error argument) is fine.
void SetErrorArgument(VARIANT* error, int32_t value);

inline int32_t Low16(uint32_t code) { return int32_t(code & 0xFFFFu); }

// An optional text argument: missing gives def (when def is null, missing is converted
// like any other value and may fail).
HRESULT TextArgument(const VARIANT& arg, std::u16string* out, const char16_t* def = u"");

}  // namespace filexfer
