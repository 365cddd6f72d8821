#pragma once
// What every server start needs for its identity and scratch space: the server UUID read
// from its text form, made new, and written out, and the system's temporary directory.
#include <cstdint>
#include <string>

namespace cvsock {

// A UUID as 36 hex digits and dashes, optionally in braces; false for anything else.
bool ParseUuid(const std::string& text, uint8_t out[16]);
// A random (version 4) UUID. False when the system gave no random bytes: out then holds
// bytes of the C library's generator, still marked as version 4.
bool NewUuid(uint8_t out[16]);
// The upper-case form with dashes, without braces.
std::string FormatUuid(const uint8_t uuid[16]);
// $TMPDIR, else /tmp, without a trailing slash.
std::string SystemTemp();

}  // namespace cvsock
