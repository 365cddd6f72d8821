// The digest descriptors used by the key exchange, and the one-buffer MD5.
#include <cstdlib>
#include <cstring>

#include "ssh/crypto/digest_traits.h"
#include "ssh/crypto/hash.h"
#include "ssh/util/alloc.h"

namespace cvssh::crypto {
namespace {

template <class H>
void* Create() {
  auto* s = static_cast<typename H::State*>(cvssh::AllocOrDie(sizeof(typename H::State)));
  H::Begin(s);
  return s;
}

template <class H>
void Update(void* state, const void* data, size_t len) {
  H::Append(static_cast<typename H::State*>(state), data, len);
}

template <class H>
void Finish(void* state, uint8_t* out) {
  auto* s = static_cast<typename H::State*>(state);
  H::End(s, out);
  explicit_bzero(s, sizeof *s);
  CheckedFree(s);
}

}  // namespace
}  // namespace cvssh::crypto

using namespace cvssh::crypto;

const SshHashDesc Sha1HashDesc = {Create<Sha1Traits>, Update<Sha1Traits>, Finish<Sha1Traits>, 20, "SHA-1"};
const SshHashDesc Sha256HashDesc = {Create<Sha256Traits>, Update<Sha256Traits>, Finish<Sha256Traits>, 32,
                                    "SHA-256"};

void Md5Digest(const void* data, size_t len, uint8_t out[16]) { OneShotDigest<Md5Traits>(data, len, out); }
