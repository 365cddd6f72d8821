#pragma once
// Text helpers of the SSH layer. Every returned text is allocated with CheckedAlloc and
// released with CheckedFree.
#include <cstdint>

// Decimal number, blanks skipped, then an optional K/M/G suffix (either case; powers of
// 1,024). Anything else leaves the number as it is. The product wraps at 32 bits.
uint32_t ParseSizeSuffix(const char* text);
char* DupString(const char* text);  // null for null
// All given texts joined; the list ends with a null.
char* DupConcat(const char* text, ...);
char* DupPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One Base64 group: count (1 to 3) bytes into 4 characters, "=" for missing bytes.
void Base64Group(const uint8_t* bytes, int count, char out[4]);
int FilenameIsEmpty(const char* text);  // 1 for an empty (or null) text
