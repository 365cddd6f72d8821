#pragma once
// Wildcard patterns of the SSH layer (server version patterns, SFTP listing masks):
// "*" any run, "?" one character, "[...]" a class ("^" negates, "a-z" ranges, reversed
// ranges allowed), backslash escapes; everything else matches itself, case-sensitively.

// 1 when the whole text matches, 0 when not; -1 pattern ends in a backslash, -2 class
// not terminated, -3 range whose end is missing before "]".
int WildcardMatch(const char* pattern, const char* text);
// 0 when the pattern holds an unescaped "*", "?", "[" or "]"; otherwise 1, and output
// (when not null; at least strlen(pattern) + 1 bytes) receives the unescaped text.
int WildcardToLiteral(char* output, const char* pattern);
