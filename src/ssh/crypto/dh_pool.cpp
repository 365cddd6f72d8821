// DhMakeE with its random bytes from the SSH random pool.
#include "ssh/crypto/dh.h"
#include "ssh/crypto/random_pool.h"

namespace {
uint8_t PoolByte(void*) { return RandomByte(); }
}  // namespace

MpConstInt DhMakeE(SshDhState* state, int bits) { return sshdh::MakeE(state, bits, PoolByte, nullptr); }
