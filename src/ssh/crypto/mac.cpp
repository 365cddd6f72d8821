// The SSH-2 MAC descriptors and the MAC preference lists.
#include "ssh/crypto/mac.h"

#include <cstring>

#include "ssh/crypto/ct_compare.h"
#include "ssh/crypto/hmac.h"
#include "ssh/util/alloc.h"

namespace cvssh::crypto {
namespace {

// KeyBytes: bytes of the derived key that key the HMAC; MacBytes: bytes sent per packet.
template <class H, size_t KeyBytes, size_t MacBytes>
struct PacketMac {
  static_assert(MacBytes <= H::kLength && KeyBytes <= H::kBlock);

  static void* Create() { return cvssh::AllocOrDie(sizeof(HmacKeyed<H>)); }

  static void Destroy(void* ctx) {
    if (!ctx) return;
    explicit_bzero(ctx, sizeof(HmacKeyed<H>));
    CheckedFree(ctx);
  }

  static void SetKey(void* ctx, const uint8_t* key) { HmacSetKey(static_cast<HmacKeyed<H>*>(ctx), key, KeyBytes); }

  static void Compute(void* ctx, const uint8_t* buf, uint32_t len, uint32_t seq, uint8_t out[H::kLength]) {
    const auto& k = *static_cast<const HmacKeyed<H>*>(ctx);
    typename H::State s;
    HmacStart(k, &s);
    const uint8_t seqBytes[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
    H::Append(&s, seqBytes, 4);
    H::Append(&s, buf, len);
    HmacFinish(k, &s, out);
  }

  static void Sign(void* ctx, uint8_t* buf, uint32_t len, uint32_t seq) {
    uint8_t mac[H::kLength];
    Compute(ctx, buf, len, seq, mac);
    std::memcpy(buf + len, mac, MacBytes);
    explicit_bzero(mac, sizeof mac);
  }

  static int Verify(void* ctx, const uint8_t* buf, uint32_t len, uint32_t seq) {
    uint8_t mac[H::kLength];
    Compute(ctx, buf, len, seq, mac);
    const int ok = SshConstTimeEqual(mac, buf + len, MacBytes);
    explicit_bzero(mac, sizeof mac);
    return ok;
  }

  static constexpr SshMacDesc Desc(const char* sshName, const char* displayName) {
    return {Create, Destroy, SetKey, Sign, Verify, sshName, uint32_t(MacBytes), displayName};
  }
};

}  // namespace
}  // namespace cvssh::crypto

using namespace cvssh::crypto;

const SshMacDesc HmacSha256MacDesc = PacketMac<Sha256Traits, 32, 32>::Desc("hmac-sha2-256", "HMAC-SHA-256");
const SshMacDesc HmacSha1MacDesc = PacketMac<Sha1Traits, 20, 20>::Desc("hmac-sha1", "HMAC-SHA1");
const SshMacDesc HmacSha1_96MacDesc = PacketMac<Sha1Traits, 20, 12>::Desc("hmac-sha1-96", "HMAC-SHA1-96");
const SshMacDesc HmacMd5MacDesc = PacketMac<Md5Traits, 16, 16>::Desc("hmac-md5", "HMAC-MD5");
const SshMacDesc HmacSha1BugMacDesc = PacketMac<Sha1Traits, 16, 20>::Desc("hmac-sha1", "bug-compatible HMAC-SHA1");
const SshMacDesc HmacSha1_96BugMacDesc =
    PacketMac<Sha1Traits, 16, 12>::Desc("hmac-sha1-96", "bug-compatible HMAC-SHA1-96");

const SshMacDesc* const SshMacList[SshMacListCount] = {&HmacSha256MacDesc, &HmacSha1MacDesc, &HmacSha1_96MacDesc,
                                                       &HmacMd5MacDesc};
const SshMacDesc* const SshMacListCompat[SshMacListCompatCount] = {&HmacSha1BugMacDesc, &HmacSha1_96BugMacDesc,
                                                                   &HmacMd5MacDesc};

struct HmacMd5Context {
  HmacKeyed<Md5Traits> keyed;
};

HmacMd5Context* HmacMd5Create() {
  auto* ctx = static_cast<HmacMd5Context*>(cvssh::AllocOrDie(sizeof(HmacMd5Context)));
  HmacSetKey(&ctx->keyed, nullptr, 0);
  return ctx;
}

void HmacMd5Free(HmacMd5Context* ctx) {
  if (!ctx) return;
  explicit_bzero(ctx, sizeof *ctx);
  CheckedFree(ctx);
}

void HmacMd5SetKey(HmacMd5Context* ctx, const uint8_t* key, size_t keylen) {
  HmacSetKey(&ctx->keyed, key, keylen < 64 ? keylen : 64);
}

void HmacMd5Compute(HmacMd5Context* ctx, const void* data, size_t len, uint8_t out[16]) {
  Md5Context s;
  HmacStart(ctx->keyed, &s);
  Md5Append(&s, data, len);
  HmacFinish(ctx->keyed, &s, out);
}
