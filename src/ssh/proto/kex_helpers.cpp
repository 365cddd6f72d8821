// Exchange-hash feeding in SSH encoding, name-list lookups and key derivation.
#include <cstring>

#include "ssh/crypto/hash.h"
#include "ssh/proto/kex_state.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/proto/transport.h"

void SshHashString(const SshHashDesc* hash, void* context, const void* bytes, uint32_t length) {
  SshHashUint32(hash, context, length);
  if (length) hash->update(context, bytes, length);
}

void SshHashUint32(const SshHashDesc* hash, void* context, uint32_t value) {
  uint8_t b[4];
  cvssh::proto::Store32(b, value);
  hash->update(context, b, 4);
}

void SshHashMpint(const SshHashDesc* hash, void* context, MpConstInt n) {
  MpHashSsh2(context, [hash](void* c, const uint8_t* bytes, size_t length) { hash->update(c, bytes, length); }, n);
}

namespace {

// Calls visit(start, length, index) for each name; stops when it returns true.
template <class Visit>
bool ForEachName(const char* list, int32_t listLength, Visit visit) {
  int32_t start = 0, index = 0;
  for (int32_t i = 0; i <= listLength; ++i) {
    if (i == listLength || list[i] == ',') {
      if (visit(list + start, i - start, index++)) return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

bool SshNameInList(const char* name, const char* list, int32_t listLength) {
  if (!list) return false;
  size_t n = std::strlen(name);
  return ForEachName(list, listLength, [&](const char* item, int32_t length, int32_t) {
    return size_t(length) == n && std::memcmp(item, name, n) == 0;
  });
}

bool SshNameFirstInList(const char* name, const char* list, int32_t listLength) {
  if (!list) return false;
  size_t n = std::strlen(name);
  return ForEachName(list, listLength, [&](const char* item, int32_t length, int32_t index) {
    return index == 0 && size_t(length) == n && std::memcmp(item, name, n) == 0;
  });
}

void Ssh2DeriveKey(SshSession* s, MpConstInt K, const uint8_t* H, char letter, uint8_t* out) {
  const SshHashDesc* hash = s->kexInForce->hash;
  const uint32_t n = hash->digest_length;
  const bool withK = !(s->bugs & DERIVE_KEY_BUG);
  void* c = hash->create();
  if (withK) SshHashMpint(hash, c, K);
  hash->update(c, H, n);
  hash->update(c, &letter, 1);
  hash->update(c, s->sessionId, s->sessionIdLength);
  hash->finish(c, out);
  c = hash->create();
  if (withK) SshHashMpint(hash, c, K);
  hash->update(c, H, n);
  hash->update(c, out, n);
  hash->finish(c, out + n);
}
