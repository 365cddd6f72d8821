// Timing of the public-key arithmetic: 2048- and 4096-bit modular exponentiations with a
// full-length exponent and an RSA-2048 verification (e = 65537), in operations per second.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "ssh/crypto/mpint.h"

namespace {

MpInt RandomNumber(std::mt19937_64& rng, int bits, bool odd) {
  std::vector<uint8_t> b(static_cast<size_t>(bits / 8));
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  b[0] |= 0x80;
  if (odd) b.back() |= 1;
  return MpFromBytes(b.data(), b.size());
}

double Rate(MpConstInt base, MpConstInt exponent, MpConstInt modulus) {
  using clock = std::chrono::steady_clock;
  int count = 0;
  auto start = clock::now();
  double elapsed = 0;
  while (elapsed < 2.0) {
    MpFree(MpModPow(base, exponent, modulus));
    ++count;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  }
  return count / elapsed;
}

}  // namespace

int main() {
  std::mt19937_64 rng(7);
  for (int bits : {2048, 4096}) {
    MpInt m = RandomNumber(rng, bits, true), b = RandomNumber(rng, bits - 1, false);
    MpInt e = RandomNumber(rng, bits, false);
    std::printf("modpow %d-bit, %d-bit exponent: %10.1f /s\n", bits, bits, Rate(b, e, m));
    if (bits == 2048) {
      const uint8_t f4[] = {1, 0, 1};
      MpInt e4 = MpFromBytes(f4, 3);
      std::printf("rsa %d verify (e = 65537):       %10.1f /s\n", bits, Rate(b, e4, m));
      MpFree(e4);
    }
    MpFree(m), MpFree(b), MpFree(e);
  }
  return 0;
}
