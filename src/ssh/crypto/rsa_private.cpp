// The blinded RSA private operation and what it keeps per key.
//
// The blinding factor r is drawn from a SHA-512 stream of d and the input, so no random
// numbers are needed. Drawing it costs an inverse and a power with e, so a key that signs
// again keeps the pair (r^e, r^-1) and squares it for the next operation, which is the
// pair of r^2; every kRsaBlindingRedraw operations r is drawn afresh from the input of
// the moment. Every result of the two-prime road is checked with e before it leaves.
#include <mutex>
#include <new>

#include "ssh/crypto/hash.h"
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/rsa.h"
#include "ssh/crypto/rsa_cache.h"

using sshmp::MpHolder;

namespace {

void Sha512Feed(Sha512State* s, const uint8_t* data, size_t n) { Sha512Append(s, data, n); }

// The byte stream of the blinding factor: SHA-512 blocks derived from d, a counter and
// the input.
class BlindingStream {
 public:
  BlindingStream(MpConstInt d, MpConstInt input) : d_(d), input_(input) {}
  ~BlindingStream() { sshmp::Wipe(block_, sizeof block_); }
  uint8_t NextByte() {
    if (pos_ == 64) Refill();
    return block_[pos_++];
  }

 private:
  void Refill() {
    static const char kLabel[] = "RSA deterministic blinding";
    uint8_t d1[64];
    Sha512State s;
    Sha512Begin(&s);
    Sha512Append(&s, kLabel, 26);
    const uint8_t counter[4] = {static_cast<uint8_t>(counter_ >> 24), static_cast<uint8_t>(counter_ >> 16),
                                static_cast<uint8_t>(counter_ >> 8), static_cast<uint8_t>(counter_)};
    Sha512Append(&s, counter, 4);
    MpHashSsh2(&s, Sha512Feed, d_);
    Sha512End(&s, d1);
    ++counter_;
    Sha512Begin(&s);
    Sha512Append(&s, d1, 64);
    MpHashSsh2(&s, Sha512Feed, input_);
    Sha512End(&s, block_);
    sshmp::Wipe(d1, sizeof d1);
    sshmp::Wipe(&s, sizeof s);
    pos_ = 0;
  }

  MpConstInt d_;
  MpConstInt input_;
  uint32_t counter_ = 0;
  uint8_t block_[64] = {};
  int pos_ = 64;
};

uint8_t ReverseBits(uint8_t b) {
  b = static_cast<uint8_t>((b >> 4) | (b << 4));
  b = static_cast<uint8_t>(((b & 0xCC) >> 2) | ((b & 0x33) << 2));
  return static_cast<uint8_t>(((b & 0xAA) >> 1) | ((b & 0x55) << 1));
}

// Draws r with as many bits as n, the stream's bits set from r's top bit down, each byte
// least significant bit first, until 0 < r < n has an inverse; a draw that ends inside a
// byte leaves the rest of it. A byte with its bits reversed is eight bits of r in order,
// so r is filled a byte at a time: the reversed bytes read big-endian, shifted down by the
// bits the last byte has beyond the bit count.
MpInt DrawFactor(MpConstInt input, const SshRsaKey* key, MpHolder& inverse) {
  MpConstInt n = key->modulus;
  const int bits = MpBitCount(n);
  const size_t bytes = static_cast<size_t>(bits + 7) / 8;
  const int spare = static_cast<int>(8 * bytes) - bits;
  sshmp::Scratch<uint8_t> value(bytes);
  if (bits == 0 || !value.ok()) return nullptr;
  BlindingStream stream(key->private_exponent, input);
  for (;;) {
    unsigned previous = 0;
    for (size_t i = 0; i < bytes; ++i) {
      const unsigned next = ReverseBits(stream.NextByte());
      value[i] = static_cast<uint8_t>((previous << (8 - spare)) | (next >> spare));
      previous = next;
    }
    MpHolder r(MpFromBytes(value.get(), bytes));
    if (!r.p) return nullptr;
    if (MpBitCount(r.p) == 0 || MpCompare(r.p, n) >= 0) continue;
    // An r sharing a factor with n has no inverse; the stream simply moves on.
    inverse.reset(MpModInverse(r.p, n));
    if (inverse.p) return r.release();
  }
}

// A fresh pair for the cache, from r drawn for this input.
bool Redraw(sshpk::RsaPrivateCache& cache, MpConstInt input, const SshRsaKey* key) {
  MpHolder inverse;
  MpHolder r(DrawFactor(input, key, inverse));
  MpHolder power(r.p ? cache.n.Pow(r.p, key->exponent) : nullptr);
  if (!power.p) return false;
  cache.blind.reset(cache.n.ToMont(power.p));
  cache.unblind.reset(cache.n.ToMont(inverse.p));
  cache.uses = 0;
  return cache.blind.p && cache.unblind.p;
}

// The pair this operation blinds with, in Montgomery form; the cache keeps its square for
// the next one.
bool TakePair(sshpk::RsaPrivateCache& cache, MpConstInt input, const SshRsaKey* key, MpHolder& blind,
              MpHolder& unblind) {
  std::lock_guard<std::mutex> hold(cache.lock);
  if ((!cache.blind.p || !cache.unblind.p || cache.uses >= sshpk::kRsaBlindingRedraw) && !Redraw(cache, input, key))
    return false;
  blind.reset(cache.blind.release());
  unblind.reset(cache.unblind.release());
  // (r^e R)^2 / R = (r^2)^e R, and likewise for r^-1; a square that fails for memory
  // leaves the cache empty, and the next operation draws again.
  cache.blind.reset(cache.n.MulMont(blind.p, blind.p));
  cache.unblind.reset(cache.n.MulMont(unblind.p, unblind.p));
  ++cache.uses;
  return true;
}

}  // namespace

bool sshpk::RsaMakeCache(SshRsaKey* key) {
  if (!key || key->cache || !key->modulus || !key->exponent || !key->private_exponent) return true;
  auto* cache = new (std::nothrow) RsaPrivateCache;
  if (!cache || !cache->Init(key)) {
    delete cache;
    return false;
  }
  key->cache = cache;
  return true;
}

void sshpk::RsaFreeCache(SshRsaKey* key) {
  if (!key) return;
  delete key->cache;
  key->cache = nullptr;
}

MpInt sshpk::RsaBlindingFactor(MpConstInt input, const SshRsaKey* key) {
  if (!input || !key || !key->modulus || !key->private_exponent) return nullptr;
  MpHolder inverse;
  return DrawFactor(input, key, inverse);
}

MpInt RsaPrivate(MpConstInt input, SshRsaKey* key) {
  if (!input || !key || !key->modulus || !key->exponent || !key->private_exponent) return nullptr;
  MpConstInt n = key->modulus;
  sshpk::RsaPrivateCache once;
  sshpk::RsaPrivateCache* cache = key->cache;
  if (!cache) {
    if (!once.Init(key)) return nullptr;
    cache = &once;
  }
  MpHolder blind, unblind;
  if (!TakePair(*cache, input, key, blind, unblind)) return nullptr;
  MpHolder c(MpMod(input, n));
  // c r^e mod n: the Montgomery factor of the blinding pair cancels in the product.
  MpHolder blinded(c.p ? cache->n.MulMont(c.p, blind.p) : nullptr);
  if (!blinded.p) return nullptr;
  if (key->crt) {
    // The two half-size powers; a result that does not map back onto the input (a fault
    // in the computation, which would give the primes away) never leaves: the plain
    // power is used instead.
    MpHolder m(sshpk::RsaCrtPower(blinded.p, key, cache));
    MpHolder result(m.p ? cache->n.MulMont(m.p, unblind.p) : nullptr);
    MpHolder back(result.p ? cache->n.Pow(result.p, key->exponent) : nullptr);
    if (back.p && MpCompare(back.p, c.p) == 0) return result.release();
  }
  MpHolder m(MpModPow(blinded.p, key->private_exponent, n));
  return m.p ? cache->n.MulMont(m.p, unblind.p) : nullptr;
}
