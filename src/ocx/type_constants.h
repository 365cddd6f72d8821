#pragma once
// Enumerations that the type libraries of several controls publish alike, some of them under
// each control's own prefix.
#include <span>
#include <string_view>

#include "platform/com/type_library.h"

namespace ocx {

using TypeConstants = std::span<const plat::com::TypeConstant>;

// Protocols, ciphers, hashes, key exchanges and certificate states, each prefixed cv.
TypeConstants SecurityConstants();

// The trace flags: <prefix>Default 0, Info 0, Error 1, Warning 2, HexDump 4, Process 4096.
TypeConstants TraceConstants(std::string_view prefix);

// The thread priorities: <prefix>Background 0, Low 1, Normal 2, High 3, Critical 4,
// Invalid -1, Default 2, Lowest 0, Highest 4.
TypeConstants PriorityConstants(std::string_view prefix);

// One constant per error number of the message table, named "<prefix>Error..." ("cv" gives
// the shared names cvErrorNotHandleOwner, ...); numbers without the 0x80040000 part.
TypeConstants ErrorConstants(std::string_view prefix = "cv");

// The shared error enumeration, __ERRORCODES.
plat::com::TypeEnum ErrorCodesEnum();

}  // namespace ocx
