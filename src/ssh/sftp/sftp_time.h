#pragma once
// Unix seconds of SFTP attributes as calendar times and back.
#include <cstdint>

#include "platform/types.h"

namespace cvssh::sftp {

// UTC calendar time (day of week set, milliseconds 0); false when it cannot be converted.
bool UnixToUtc(uint32_t seconds, SYSTEMTIME* out);
// false for a time outside what 32-bit Unix seconds hold.
bool UtcToUnix(const SYSTEMTIME* utc, uint32_t* seconds);

}  // namespace cvssh::sftp
