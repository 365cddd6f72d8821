// What the RSA private operation of one key keeps from one call to the next: per-key
// numbers that would otherwise be made again for every signature.
#pragma once

#include <cstdint>
#include <mutex>

#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/rsa.h"

namespace sshpk {

struct RsaPrivateCache {
  // d mod (p - 1) and d mod (q - 1); absent unless the key's parts agreed when it was made.
  sshmp::MpHolder dp, dq;
  // The primes' constants for the paired powers, where the pair can take that road.
  sshmp::PairModuli* primes = nullptr;
  // Montgomery constants of n: blinding, unblinding and the check of a result with e.
  sshmp::MontModulus n;
  // The blinding pair in Montgomery form, r^e R mod n and r^-1 R mod n (none until the
  // first private operation draws r), and the operations since r was drawn.
  std::mutex lock;
  sshmp::MpHolder blind, unblind;
  uint32_t uses = 0;

  RsaPrivateCache() = default;
  RsaPrivateCache(const RsaPrivateCache&) = delete;
  RsaPrivateCache& operator=(const RsaPrivateCache&) = delete;
  ~RsaPrivateCache() { sshmp::FreePairModuli(primes); }
  // Fills everything but the blinding pair from the key; false when memory is short or
  // the key has no usable n.
  bool Init(const SshRsaKey* key);
};

}  // namespace sshpk
