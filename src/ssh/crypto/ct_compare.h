#pragma once
// Comparison for secrets (MACs, passwords, authenticators): always reads every byte, so
// the time taken does not reveal where the first difference is.
#include <cstddef>

// 1 when the n bytes at a and b are equal, 0 otherwise.
int SshConstTimeEqual(const void* a, const void* b, size_t n);
