// The client's KEXINIT and the negotiation from the server's.
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/kex_state.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"

namespace cvssh::proto {

namespace {

void AddName(SshPacket* p, bool* first, const char* name) {
  if (!*first) SshPacketAddStringText(p, ",");
  SshPacketAddStringText(p, name);
  *first = false;
}

const char* CompressName(const SshCompressDesc* c) { return c ? c->name : "none"; }

void AddCipherList(SshPacket* p, const SshKexState* k) {
  SshPacketAddStringStart(p);
  bool first = true;
  for (int32_t f = 0; f < k->cipherFamilyCount; ++f)
    for (uint32_t i = 0; i < k->cipherFamilies[f]->count; ++i) AddName(p, &first, k->cipherFamilies[f]->ciphers[i]->ssh_name);
}

void AddMacList(SshPacket* p, const SshKexState* k) {
  SshPacketAddStringStart(p);
  bool first = true;
  for (uint32_t i = 0; i < k->macCount; ++i) AddName(p, &first, k->macs[i]->ssh_name);
}

void AddCompressList(SshPacket* p, const SshKexState* k) {
  SshPacketAddStringStart(p);
  bool first = true;
  AddName(p, &first, CompressName(k->preferredCompress));
  // The other method, when this build has zlib at all.
  if (k->preferredCompress)
    AddName(p, &first, "none");
  else if (const SshCompressDesc* zlib = SshZlibCompressDesc())
    AddName(p, &first, zlib->name);
}

void BuildPreferences(SshSession* s, SshKexState* k) {
  const SshSettings& set = s->settings;
  k->kexFamilyCount = 0;
  for (uint32_t v : set.KexOrder) {
    const SshKexList* list = v == 1 ? &SshKexGroup1List : v == 2 ? &SshKexGroup14List : v == 3 ? &SshKexGexList : nullptr;
    if (list) k->kexFamilies[k->kexFamilyCount++] = list;
  }
  k->cipherFamilyCount = 0;
  for (uint32_t v : set.CipherOrder) {
    if (v == SshCipherFamilyDes && !set.AllowSingleDes) continue;
    if (const SshCipherList* list = SshCipherListForFamily(v)) k->cipherFamilies[k->cipherFamilyCount++] = list;
  }
  k->preferredCompress = set.Compression ? SshZlibCompressDesc() : nullptr;
}

bool ReadList(SshPacket* p, const char** list, int32_t* length) {
  const uint8_t* bytes;
  SshPacketGetString(p, &bytes, length);
  *list = reinterpret_cast<const char*>(bytes);
  return bytes != nullptr;
}

const SshCipherDesc* ChooseCipher(const SshKexState* k, const char* list, int32_t length) {
  for (int32_t f = 0; f < k->cipherFamilyCount; ++f)
    for (uint32_t i = 0; i < k->cipherFamilies[f]->count; ++i)
      if (SshNameInList(k->cipherFamilies[f]->ciphers[i]->ssh_name, list, length)) return k->cipherFamilies[f]->ciphers[i];
  return nullptr;
}

const SshMacDesc* ChooseMac(const SshKexState* k, const char* list, int32_t length) {
  for (uint32_t i = 0; i < k->macCount; ++i)
    if (SshNameInList(k->macs[i]->ssh_name, list, length)) return k->macs[i];
  return nullptr;
}

// The preferred method, then "zlib", then "none". found is false when none matches.
const SshCompressDesc* ChooseCompress(const SshKexState* k, const char* list, int32_t length, bool* found) {
  *found = true;
  if (SshNameInList(CompressName(k->preferredCompress), list, length)) return k->preferredCompress;
  const SshCompressDesc* zlib = SshZlibCompressDesc();
  if (zlib && SshNameInList(zlib->name, list, length)) return zlib;
  if (SshNameInList("none", list, length)) return nullptr;
  *found = false;
  return nullptr;
}

}  // namespace

SshKexState* KexState(SshSession* s) {
  if (!s->kex) {
    s->kex = static_cast<SshKexState*>(cvssh::AllocOrDie(sizeof(SshKexState)));
    std::memset(s->kex, 0, sizeof(SshKexState));
  }
  return s->kex;
}

void SendKexinit(SshSession* s) {
  SshKexState* k = KexState(s);
  if (!k->macs) {
    const bool compat = (s->bugs & HMAC_BUG) != 0;
    k->macs = compat ? SshMacListCompat : SshMacList;
    k->macCount = compat ? SshMacListCompatCount : SshMacListCount;
  }
  BuildPreferences(s, k);
  s->queueing = 1;
  s->kexInProgress = 1;

  SshPacket* p = Ssh2PacketNew(ssh2::kMsgKexinit);
  for (int i = 0; i < 16; ++i) SshPacketAddByte(p, RandomByte());
  SshPacketAddStringStart(p);
  bool first = true;
  for (int32_t f = 0; f < k->kexFamilyCount; ++f)
    for (int i = 0; i < k->kexFamilies[f]->count; ++i) AddName(p, &first, k->kexFamilies[f]->list[i]->ssh_name);
  SshPacketAddStringStart(p);
  first = true;
  for (const SshHostKeyDesc* h : SshHostKeyAlgorithms) AddName(p, &first, h->ssh_name);
  AddCipherList(p, k);
  AddCipherList(p, k);
  AddMacList(p, k);
  AddMacList(p, k);
  AddCompressList(p, k);
  AddCompressList(p, k);
  SshPacketAddString(p, "");
  SshPacketAddString(p, "");
  SshPacketAddBool(p, false);
  SshPacketAddUint32(p, 0);

  CheckedFree(k->clientKexinit);
  k->clientKexinitLength = p->length - 5;
  k->clientKexinit = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(k->clientKexinitLength)));
  std::memcpy(k->clientKexinit, p->data + 5, size_t(k->clientKexinitLength));
  Ssh2SendPacket(s, p);
}

bool ProcessKexinit(SshSession* s, SshPacket* p) {
  SshKexState* k = KexState(s);
  auto fail = [&](const char* text) {
    KexFail(s, cvErrorSecurityContext, kSshDisconnectKexFailed, text);
    return false;
  };
  if (p->length - p->position < 16) return fail("Malformed key exchange message");
  p->position += 16;

  const char* list;
  int32_t length;
  if (!ReadList(p, &list, &length)) return fail("Malformed key exchange message");
  k->kex = nullptr;
  const char* ourFirst = nullptr;
  for (int32_t f = 0; f < k->kexFamilyCount && !k->kex; ++f)
    for (int i = 0; i < k->kexFamilies[f]->count; ++i) {
      const SshKexDesc* d = k->kexFamilies[f]->list[i];
      if (!ourFirst) ourFirst = d->ssh_name;
      if (SshNameInList(d->ssh_name, list, length)) {
        k->kex = d;
        break;
      }
    }
  if (!k->kex) return fail("No common key exchange method");
  k->guessOk = SshNameFirstInList(ourFirst, list, length);

  if (!ReadList(p, &list, &length)) return fail("Malformed key exchange message");
  k->hostKey = nullptr;
  for (const SshHostKeyDesc* h : SshHostKeyAlgorithms)
    if (SshNameInList(h->ssh_name, list, length)) {
      k->hostKey = h;
      break;
    }
  if (!k->hostKey) return fail("No common host key algorithm");
  k->guessOk = k->guessOk && SshNameFirstInList(SshHostKeyAlgorithms[0]->ssh_name, list, length);

  for (const SshCipherDesc** out : {&k->csCipher, &k->scCipher}) {
    if (!ReadList(p, &list, &length)) return fail("Malformed key exchange message");
    if (!(*out = ChooseCipher(k, list, length))) return fail("No common cipher");
  }
  for (const SshMacDesc** out : {&k->csMac, &k->scMac}) {
    if (!ReadList(p, &list, &length)) return fail("Malformed key exchange message");
    if (!(*out = ChooseMac(k, list, length))) return fail("No common MAC");
  }
  for (const SshCompressDesc** out : {&k->csCompress, &k->scCompress}) {
    bool found;
    if (!ReadList(p, &list, &length)) return fail("Malformed key exchange message");
    *out = ChooseCompress(k, list, length, &found);
    if (!found) return fail("No common compression method");
  }
  for (int i = 0; i < 2; ++i)
    if (!ReadList(p, &list, &length)) return fail("Malformed key exchange message");
  const bool follows = SshPacketGetBool(p);
  k->ignoreNext = follows && !k->guessOk;

  const SshHashDesc* hash = k->kex->hash;
  if (s->exchangeHash) {
    uint8_t discard[64];
    s->exchangeHashDesc->finish(s->exchangeHash, discard);
  }
  s->exchangeHashDesc = hash;
  s->exchangeHash = hash->create();
  SshHashString(hash, s->exchangeHash, s->clientIdent, uint32_t(std::strlen(s->clientIdent)));
  SshHashString(hash, s->exchangeHash, s->serverIdent, uint32_t(std::strlen(s->serverIdent)));
  SshHashString(hash, s->exchangeHash, k->clientKexinit, uint32_t(k->clientKexinitLength));
  CheckedFree(k->clientKexinit);
  k->clientKexinit = nullptr;
  k->clientKexinitLength = 0;
  if (p->length - 5 > 0) SshHashString(hash, s->exchangeHash, p->data + 5, uint32_t(p->length - 5));
  return true;
}

}  // namespace cvssh::proto
