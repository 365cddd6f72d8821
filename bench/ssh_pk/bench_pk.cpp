// Public-key arithmetic against OpenSSL in the same run: 2048- and 4096-bit modular
// exponentiations with full-length exponents (OpenSSL's constant-time exponentiation on
// the same numbers), and RSA-2048/4096 SHA-1 signatures made and checked with the same
// keys. Each of ours runs on the portable rows, on the MULX/ADX rows (where the CPU has
// them) and, for the two-prime powers of signing, in pairs on the AVX-512 IFMA unit (where
// the CPU has it). Prints operations per second and, at the end, each case's ratio to
// OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/mpint.h"
#include "ssh/crypto/rsa.h"

namespace {

enum Path { kPortable, kScalar, kFast };

void SetPath(Path p) {
  cvssh::crypto::ForcePortableCrypto(p == kPortable);
  sshmp::AllowVectorPowers(p == kFast);
}

void CountOps(benchmark::State& state) {
  state.counters["ops"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

std::vector<uint8_t> RandomBytes(std::mt19937_64& rng, int bits, bool odd) {
  std::vector<uint8_t> b(size_t(bits / 8));
  for (auto& x : b) x = uint8_t(rng());
  b[0] |= 0x80;
  if (odd) b.back() |= 1;
  return b;
}

// Base, exponent and odd modulus of `bits` bits, the same bytes for both libraries.
struct PowCase {
  std::vector<uint8_t> base, exponent, modulus;
  explicit PowCase(int bits) {
    std::mt19937_64 rng{static_cast<uint64_t>(bits)};
    modulus = RandomBytes(rng, bits, true);
    base = RandomBytes(rng, bits - 8, false);
    exponent = RandomBytes(rng, bits, false);
  }
};

void OurModPow(benchmark::State& state, int bits, Path path) {
  SetPath(path);
  PowCase c(bits);
  MpInt b = MpFromBytes(c.base.data(), c.base.size()), e = MpFromBytes(c.exponent.data(), c.exponent.size());
  MpInt m = MpFromBytes(c.modulus.data(), c.modulus.size());
  for (auto _ : state) MpFree(MpModPow(b, e, m));
  MpFree(b), MpFree(e), MpFree(m);
  CountOps(state);
}

void OpensslModPow(benchmark::State& state, int bits) {
  PowCase c(bits);
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* b = BN_bin2bn(c.base.data(), int(c.base.size()), nullptr);
  BIGNUM* e = BN_bin2bn(c.exponent.data(), int(c.exponent.size()), nullptr);
  BIGNUM* m = BN_bin2bn(c.modulus.data(), int(c.modulus.size()), nullptr);
  BIGNUM* r = BN_new();
  for (auto _ : state) BN_mod_exp_mont_consttime(r, b, e, m, ctx, nullptr);
  BN_free(r), BN_free(m), BN_free(e), BN_free(b);
  BN_CTX_free(ctx);
  CountOps(state);
}

// One RSA key held by both libraries.
struct RsaPair {
  EVP_PKEY* pkey = nullptr;
  SshRsaKey* ours = nullptr;
};

std::vector<uint8_t> Ssh2Number(EVP_PKEY* pkey, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(pkey, name, &bn);
  std::vector<uint8_t> bytes(size_t(BN_num_bytes(bn)));
  BN_bn2bin(bn, bytes.data());
  BN_free(bn);
  MpInt v = MpFromBytes(bytes.data(), bytes.size());
  std::vector<uint8_t> out(size_t(MpSsh2Length(v)));
  MpWriteSsh2(out.data(), v);
  MpFree(v);
  return out;
}

RsaPair& Key(int bits) {
  static std::map<int, RsaPair> keys;
  RsaPair& k = keys[bits];
  if (!k.pkey) {
    k.pkey = EVP_RSA_gen(unsigned(bits));
    std::vector<uint8_t> seq;
    for (const char* name : {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                             OSSL_PKEY_PARAM_RSA_COEFFICIENT1, OSSL_PKEY_PARAM_RSA_FACTOR1,
                             OSSL_PKEY_PARAM_RSA_FACTOR2}) {
      auto n = Ssh2Number(k.pkey, name);
      seq.insert(seq.end(), n.begin(), n.end());
    }
    k.ours = static_cast<SshRsaKey*>(RsaImportPrivate(seq.data(), int32_t(seq.size())));
  }
  return k;
}

const uint8_t kData[] = "data signed at every connection";

void OurSign(benchmark::State& state, int bits, Path path) {
  SetPath(path);
  SshRsaKey* key = Key(bits).ours;
  for (auto _ : state) {
    int32_t n = 0;
    CheckedFree(RsaSign(key, kData, sizeof kData, &n));
  }
  CountOps(state);
}

void OurVerify(benchmark::State& state, int bits, Path path) {
  SetPath(path);
  SshRsaKey* key = Key(bits).ours;
  int32_t n = 0;
  uint8_t* sig = RsaSign(key, kData, sizeof kData, &n);
  for (auto _ : state)
    if (!RsaVerify(key, sig, n, kData, sizeof kData)) state.SkipWithError("signature refused");
  CheckedFree(sig);
  CountOps(state);
}

std::vector<uint8_t> OpensslSignOnce(EVP_PKEY* pkey) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  size_t n = 0;
  EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, pkey);
  EVP_DigestSign(ctx, nullptr, &n, kData, sizeof kData);
  std::vector<uint8_t> sig(n);
  EVP_DigestSign(ctx, sig.data(), &n, kData, sizeof kData);
  EVP_MD_CTX_free(ctx);
  return sig;
}

void OpensslSign(benchmark::State& state, int bits) {
  EVP_PKEY* pkey = Key(bits).pkey;
  for (auto _ : state) benchmark::DoNotOptimize(OpensslSignOnce(pkey));
  CountOps(state);
}

void OpensslVerify(benchmark::State& state, int bits) {
  EVP_PKEY* pkey = Key(bits).pkey;
  std::vector<uint8_t> sig = OpensslSignOnce(pkey);
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, pkey);
    if (EVP_DigestVerify(ctx, sig.data(), sig.size(), kData, sizeof kData) != 1)
      state.SkipWithError("signature refused");
    EVP_MD_CTX_free(ctx);
  }
  CountOps(state);
}

// Operations per CPU second; with --benchmark_repetitions, the median of the repetitions
// (run them with --benchmark_enable_random_interleaving=true to interleave ours and
// OpenSSL's). A case that failed or has no rate on either side makes the run fail.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) failed_ = true;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      auto it = r.counters.find("ops");
      if (it != r.counters.end()) rates_[r.run_name.str()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-26s %12s %12s %8s\n", "case", "ours /s", "OpenSSL /s", "OpenSSL/ours");
    for (const auto& [name, rate] : rates_) {
      const std::string peer = name.substr(0, name.rfind('/')) + "/openssl";
      if (name == peer) continue;
      const double theirs = rates_.count(peer) ? rates_[peer] : 0;
      if (rate > 0 && theirs > 0) {
        std::printf("%-26s %12.1f %12.1f %8.2f\n", name.c_str(), rate, theirs, theirs / rate);
      } else {
        std::fprintf(stderr, "%s: no rate beside OpenSSL's\n", name.c_str());
        failed_ = true;
      }
    }
    if (rates_.empty()) failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  std::map<std::string, double> rates_;
  bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  using benchmark::RegisterBenchmark;
  const std::pair<Path, const char*> paths[] = {{kPortable, "portable"}, {kScalar, "scalar"}, {kFast, "fast"}};
  for (int bits : {2048, 4096}) {
    const std::string size = std::to_string(bits);
    for (auto [path, label] : paths) {
      // Single powers never take the vector road: the scalar rows are the fast ones there.
      if (path != kScalar) {
        RegisterBenchmark(("modpow" + size + "/" + label).c_str(), OurModPow, bits, path)
            ->Unit(benchmark::kMicrosecond);
        RegisterBenchmark(("rsa" + size + "-verify/" + label).c_str(), OurVerify, bits, path)
            ->Unit(benchmark::kMicrosecond);
      }
      RegisterBenchmark(("rsa" + size + "-sign/" + label).c_str(), OurSign, bits, path)->Unit(benchmark::kMicrosecond);
    }
    RegisterBenchmark(("modpow" + size + "/openssl").c_str(), OpensslModPow, bits)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark(("rsa" + size + "-verify/openssl").c_str(), OpensslVerify, bits)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark(("rsa" + size + "-sign/openssl").c_str(), OpensslSign, bits)->Unit(benchmark::kMicrosecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.failed() ? 1 : 0;
}
