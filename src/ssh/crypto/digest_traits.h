#pragma once
// One traits record per digest so the HMAC core and the descriptors are written once.
#include <cstring>

#include "core/digest/md5.h"
#include "ssh/crypto/hash.h"

namespace cvssh::crypto {

struct Sha1Traits {
  using State = Sha1State;
  static constexpr size_t kBlock = 64, kLength = 20;
  static void Begin(State* s) { Sha1Begin(s); }
  static void Append(State* s, const void* p, size_t n) { Sha1Append(s, p, n); }
  static void End(State* s, uint8_t* out) { Sha1End(s, out); }
};

struct Sha256Traits {
  using State = Sha256State;
  static constexpr size_t kBlock = 64, kLength = 32;
  static void Begin(State* s) { Sha256Begin(s); }
  static void Append(State* s, const void* p, size_t n) { Sha256Append(s, p, n); }
  static void End(State* s, uint8_t* out) { Sha256End(s, out); }
};

struct Sha512Traits {
  using State = Sha512State;
  static constexpr size_t kBlock = 128, kLength = 64;
  static void Begin(State* s) { Sha512Begin(s); }
  static void Append(State* s, const void* p, size_t n) { Sha512Append(s, p, n); }
  static void End(State* s, uint8_t* out) { Sha512End(s, out); }
};

struct Md5Traits {
  using State = Md5Context;
  static constexpr size_t kBlock = 64, kLength = 16;
  static void Begin(State* s) { Md5Begin(s); }
  static void Append(State* s, const void* p, size_t n) { Md5Append(s, p, n); }
  static void End(State* s, uint8_t* out) { Md5End(out, s); }
};

// The whole digest of one buffer; the state is wiped afterwards.
template <class H>
void OneShotDigest(const void* data, size_t len, uint8_t* out) {
  typename H::State s;
  H::Begin(&s);
  H::Append(&s, data, len);
  H::End(&s, out);
  explicit_bzero(&s, sizeof s);
}

}  // namespace cvssh::crypto
