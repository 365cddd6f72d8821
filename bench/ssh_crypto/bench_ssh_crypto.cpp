// Throughput of the SSH layer's own AES-CTR, SHA-256 and HMAC against OpenSSL's EVP in
// the same run, for the portable code and the instruction-set fast paths separately.
// Prints MB/s of every case and, at the end, each case's ratio to OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/mac.h"

namespace {

constexpr size_t kBuf = 32768;  // a typical SFTP packet size

enum Path { kPortable, kFast };

void SetPath(Path p) { cvssh::crypto::ForcePortableCrypto(p == kPortable); }

void OurCipher(benchmark::State& state, const SshCipherDesc* d, Path path) {
  SetPath(path);
  std::vector<uint8_t> key(32, 7), iv(16, 9), buf(kBuf, 1);
  void* ctx = d->create();
  d->set_key(ctx, key.data());
  d->set_iv(ctx, iv.data());
  for (auto _ : state) {
    d->encrypt(ctx, buf.data(), uint32_t(buf.size()));
    benchmark::DoNotOptimize(buf.data());
  }
  d->destroy(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuf));
}

void EvpCipher(benchmark::State& state, const char* name) {
  std::vector<uint8_t> key(32, 7), iv(16, 9), buf(kBuf, 1), out(kBuf + 32);
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, c, nullptr, key.data(), iv.data());
  for (auto _ : state) {
    int n = 0;
    EVP_EncryptUpdate(ctx, out.data(), &n, buf.data(), int(buf.size()));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuf));
}

void OurSha256(benchmark::State& state, Path path) {
  SetPath(path);
  std::vector<uint8_t> buf(kBuf, 1);
  uint8_t out[32];
  for (auto _ : state) {
    Sha256Digest(buf.data(), buf.size(), out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuf));
}

void EvpSha256(benchmark::State& state) {
  std::vector<uint8_t> buf(kBuf, 1);
  uint8_t out[32];
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  for (auto _ : state) {
    unsigned n = 0;
    EVP_Digest(buf.data(), buf.size(), out, &n, md, nullptr);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_free(md);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuf));
}

void OurMac(benchmark::State& state, const SshMacDesc* d, Path path) {
  SetPath(path);
  std::vector<uint8_t> key(32, 3), buf(kBuf + 32, 1);
  void* ctx = d->create();
  d->set_key(ctx, key.data());
  uint32_t seq = 0;
  for (auto _ : state) {
    d->sign(ctx, buf.data(), uint32_t(kBuf), seq++);
    benchmark::DoNotOptimize(buf.data());
  }
  d->destroy(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuf));
}

// HMAC as a packet MAC is used: keyed once, then one MAC per packet.
void EvpMac(benchmark::State& state, const char* digest, int keyLen) {
  std::vector<uint8_t> key(size_t(keyLen), 3), buf(kBuf, 1);
  uint8_t out[64];
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* base = EVP_MAC_CTX_new(mac);
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>(digest), 0),
                         OSSL_PARAM_construct_end()};
  EVP_MAC_init(base, key.data(), key.size(), params);
  uint32_t seq = 0;
  for (auto _ : state) {
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_dup(base);
    EVP_MAC_init(ctx, nullptr, 0, nullptr);
    const uint8_t s[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
    ++seq;
    EVP_MAC_update(ctx, s, 4);
    EVP_MAC_update(ctx, buf.data(), buf.size());
    size_t n = 0;
    EVP_MAC_final(ctx, out, &n, sizeof out);
    EVP_MAC_CTX_free(ctx);
    benchmark::DoNotOptimize(out);
  }
  EVP_MAC_CTX_free(base);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBuf));
}

struct Pair {
  const char* ours;
  const char* peer;
};
const Pair kPairs[] = {
    {"aes128-ctr/portable", "aes128-ctr/openssl"}, {"aes128-ctr/fast", "aes128-ctr/openssl"},
    {"aes256-ctr/portable", "aes256-ctr/openssl"}, {"aes256-ctr/fast", "aes256-ctr/openssl"},
    {"hmac-sha1/portable", "hmac-sha1/openssl"},   {"hmac-sha1/fast", "hmac-sha1/openssl"},
    {"hmac-sha2-256/portable", "hmac-sha2-256/openssl"}, {"hmac-sha2-256/fast", "hmac-sha2-256/openssl"},
    {"sha256/portable", "sha256/openssl"},         {"sha256/fast", "sha256/openssl"},
};

// Bytes per CPU second; with --benchmark_repetitions, the median of the repetitions. A
// case that failed makes the run fail, and so does a pair whose two sides both ran but
// left no rate.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) failed_ = true;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.run_name.str()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-26s %12s %12s %8s\n", "case", "ours MB/s", "OpenSSL MB/s", "ratio");
    int shown = 0;
    for (const Pair& p : kPairs) {
      if (!rates_.count(p.ours) && !rates_.count(p.peer)) continue;  // filtered out
      const double a = rates_[p.ours] / 1e6, b = rates_[p.peer] / 1e6;
      if (a > 0 && b > 0) {
        std::printf("%-26s %12.1f %12.1f %8.2f\n", p.ours, a, b, a / b);
        ++shown;
      } else {
        std::fprintf(stderr, "%s: no rate beside OpenSSL's\n", p.ours);
        failed_ = true;
      }
    }
    if (shown == 0) failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  std::map<std::string, double> rates_;
  bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("aes128-ctr/portable", OurCipher, &Aes128CtrCipherDesc, kPortable);
  RegisterBenchmark("aes128-ctr/fast", OurCipher, &Aes128CtrCipherDesc, kFast);
  RegisterBenchmark("aes128-ctr/openssl", EvpCipher, "AES-128-CTR");
  RegisterBenchmark("aes256-ctr/portable", OurCipher, &Aes256CtrCipherDesc, kPortable);
  RegisterBenchmark("aes256-ctr/fast", OurCipher, &Aes256CtrCipherDesc, kFast);
  RegisterBenchmark("aes256-ctr/openssl", EvpCipher, "AES-256-CTR");
  RegisterBenchmark("hmac-sha1/portable", OurMac, &HmacSha1MacDesc, kPortable);
  RegisterBenchmark("hmac-sha1/fast", OurMac, &HmacSha1MacDesc, kFast);
  RegisterBenchmark("hmac-sha1/openssl", EvpMac, "SHA1", 20);
  RegisterBenchmark("hmac-sha2-256/portable", OurMac, &HmacSha256MacDesc, kPortable);
  RegisterBenchmark("hmac-sha2-256/fast", OurMac, &HmacSha256MacDesc, kFast);
  RegisterBenchmark("hmac-sha2-256/openssl", EvpMac, "SHA256", 32);
  RegisterBenchmark("sha256/portable", OurSha256, kPortable);
  RegisterBenchmark("sha256/fast", OurSha256, kFast);
  RegisterBenchmark("sha256/openssl", EvpSha256);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.failed() ? 1 : 0;
}
