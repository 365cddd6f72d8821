#include "ssh/crypto/ct_compare.h"

#include <cstdint>

int SshConstTimeEqual(const void* a, const void* b, size_t n) {
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint32_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= uint32_t(x[i] ^ y[i]);
  // diff is 0..255: (diff - 1) >> 31 is 1 only for 0, without a data-dependent branch.
  return int((diff - 1) >> 31);
}
