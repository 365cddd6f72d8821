// Diffie-Hellman key agreement over prime fields (fixed groups and group exchange).
#pragma once

#include <cstdint>

#include "ssh/crypto/hash.h"
#include "ssh/crypto/mpint.h"

struct SshKexDesc {
  const char* ssh_name;
  const char* group_name;    // nullptr for group exchange
  const uint8_t* prime;      // big-endian, nullptr for group exchange
  const uint8_t* generator;  // big-endian, nullptr for group exchange
  uint32_t prime_length;
  uint32_t generator_length;
  const SshHashDesc* hash;
};

struct SshKexList {
  int count;
  const SshKexDesc* const* list;
};

extern const SshKexDesc SshKexDhGroup1;
extern const SshKexDesc SshKexDhGroup14;
extern const SshKexDesc SshKexDhGexSha256;
extern const SshKexDesc SshKexDhGexSha1;
extern const SshKexList SshKexGroup1List;
extern const SshKexList SshKexGroup14List;
extern const SshKexList SshKexGexList;

// Group-exchange primes accepted from a server, in bits.
inline constexpr int kDhMinGroupBits = 1024;
inline constexpr int kDhMaxGroupBits = 8192;

struct SshDhState {
  MpInt x;      // secret exponent, nullptr until drawn
  MpInt e;      // g^x mod p, nullptr until computed
  MpInt p;
  MpInt q;      // (p - 1) / 2
  MpInt qmask;  // 2^bits(q) - 1
  MpInt g;
};

SshDhState* DhNewFixedGroup(const SshKexDesc* kex);
// nullptr unless p is odd with kDhMinGroupBits..kDhMaxGroupBits bits and 1 < g < p - 1.
SshDhState* DhNewGroup(MpConstInt p, MpConstInt g);
// Draws x and returns e (owned by the state); nullptr when memory is short.
MpConstInt DhMakeE(SshDhState* state, int bits);
// K = f^x mod p, owned by the caller; nullptr unless 1 < f < p - 1 and x exists.
MpInt DhComputeK(SshDhState* state, MpConstInt f);
void DhFree(SshDhState* state);

namespace sshdh {
// The draw of DhMakeE with its random bytes taken from `next_byte`.
MpConstInt MakeE(SshDhState* state, int bits, sshmp::ByteSource next_byte, void* context);
}  // namespace sshdh
