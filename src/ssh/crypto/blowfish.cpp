#include <cstring>

#include "ssh/crypto/blowfish_core.h"

namespace cvssh::crypto {

void BlowfishSetKey(BlowfishKey* k, const uint8_t* key, size_t len) {
  std::memcpy(k, &kBlowfishInitial, sizeof *k);
  size_t pos = 0;
  for (uint32_t& p : k->p) {
    uint32_t w = 0;
    for (int b = 0; b < 4; ++b) {
      w = (w << 8) | key[pos];
      pos = (pos + 1) % len;
    }
    p ^= w;
  }
  uint32_t l = 0, r = 0;
  for (int i = 0; i < 18; i += 2) {
    BlowfishEncrypt(*k, l, r);
    k->p[i] = l;
    k->p[i + 1] = r;
  }
  for (auto& box : k->s) {
    for (int i = 0; i < 256; i += 2) {
      BlowfishEncrypt(*k, l, r);
      box[i] = l;
      box[i + 1] = r;
    }
  }
}

}  // namespace cvssh::crypto
