#pragma once
// The generic HMAC core (RFC 2104) over any digest traits record (digest_traits.h):
// keying prepares the inner and outer states once; each message then costs two state
// copies plus the digest of the message and one more block.
#include <cstring>

#include "ssh/crypto/digest_traits.h"

namespace cvssh::crypto {

template <class H>
struct HmacKeyed {
  typename H::State inner;
  typename H::State outer;
};

// Keys longer than the digest's block are hashed first, as RFC 2104 says.
template <class H>
void HmacSetKey(HmacKeyed<H>* k, const uint8_t* key, size_t keylen) {
  uint8_t hashed[H::kLength];
  if (keylen > H::kBlock) {
    typename H::State s;
    H::Begin(&s);
    H::Append(&s, key, keylen);
    H::End(&s, hashed);
    explicit_bzero(&s, sizeof s);
    key = hashed;
    keylen = H::kLength;
  }
  uint8_t block[H::kBlock];
  std::memset(block, 0x36, sizeof block);
  for (size_t i = 0; i < keylen; ++i) block[i] ^= key[i];
  H::Begin(&k->inner);
  H::Append(&k->inner, block, sizeof block);
  std::memset(block, 0x5C, sizeof block);
  for (size_t i = 0; i < keylen; ++i) block[i] ^= key[i];
  H::Begin(&k->outer);
  H::Append(&k->outer, block, sizeof block);
  explicit_bzero(block, sizeof block);
  explicit_bzero(hashed, sizeof hashed);
}

// Starts a message: a copy of the keyed inner state to absorb the message into.
template <class H>
void HmacStart(const HmacKeyed<H>& k, typename H::State* running) {
  std::memcpy(running, &k.inner, sizeof *running);
}

// Finishes a message started with HmacStart; out receives the full digest length.
template <class H>
void HmacFinish(const HmacKeyed<H>& k, typename H::State* running, uint8_t* out) {
  uint8_t inner[H::kLength];
  H::End(running, inner);
  typename H::State outer;
  std::memcpy(&outer, &k.outer, sizeof outer);
  H::Append(&outer, inner, sizeof inner);
  H::End(&outer, out);
  explicit_bzero(inner, sizeof inner);
  explicit_bzero(&outer, sizeof outer);
  explicit_bzero(running, sizeof *running);
}

template <class H>
void HmacCompute(const uint8_t* key, size_t keylen, const void* data, size_t len, uint8_t* out) {
  HmacKeyed<H> k;
  HmacSetKey(&k, key, keylen);
  typename H::State s;
  HmacStart(k, &s);
  H::Append(&s, data, len);
  HmacFinish(k, &s, out);
  explicit_bzero(&k, sizeof k);
}

}  // namespace cvssh::crypto
