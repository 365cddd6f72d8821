// Bulk record encryption and decryption through the TLS adapter (16 KB records, the
// negotiated AES-256-GCM suite) beside the raw EVP cipher on the same buffer size, in one
// run. run.sh adds `openssl speed` for the same cipher.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <vector>

#include "platform/tls/tls_context.h"

namespace {

constexpr size_t kRecord = 16384;

plat::TlsCertificate SelfSigned() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_sign(cert, key, EVP_sha256());
  plat::TlsCertificate c(cert, key, {}, "bench");
  X509_free(cert);
  EVP_PKEY_free(key);
  return c;
}

struct Connected {
  std::unique_ptr<plat::TlsContext> client, server;
  Connected() {
    plat::TlsError e;
    plat::TlsCredentialOptions so;
    so.role = plat::TlsRole::Server;
    so.certificate = SelfSigned();
    client = plat::TlsContext::Create(plat::TlsCredentials::Create({}, e), "localhost", e);
    server = plat::TlsContext::Create(plat::TlsCredentials::Create(so, e), "", e);
    std::vector<uint8_t> a, b, none;
    size_t used = 0;
    client->Step(none, a, used);
    for (int i = 0; i < 10 && !(client->HandshakeDone() && server->HandshakeDone()); ++i) {
      server->Step(a, b, used);
      a.clear();
      client->Step(b, a, used);
      b.clear();
    }
  }
};

void AdapterEncrypt(benchmark::State& state) {
  Connected c;
  std::vector<uint8_t> plain(kRecord, 'x');
  plat::TlsStreamSizes s = c.client->StreamSizes();
  std::vector<uint8_t> out(s.header + kRecord + s.trailer);
  size_t written = 0;
  for (auto _ : state) {
    c.client->Encrypt(plain, out.data(), out.size(), written);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRecord));
}

void AdapterDecrypt(benchmark::State& state) {
  Connected c;
  std::vector<uint8_t> plain(kRecord, 'x'), back(kRecord);
  // Records made in advance, so that only decryption is timed.
  std::vector<std::vector<uint8_t>> records(4096);
  size_t next = records.size();
  for (auto _ : state) {
    if (next == records.size()) {
      state.PauseTiming();
      for (auto& r : records) {
        r.clear();
        c.server->Encrypt(plain, r);
      }
      next = 0;
      state.ResumeTiming();
    }
    size_t n = 0, used = 0;
    c.client->Decrypt(records[next++], back.data(), back.size(), n, used);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRecord));
}

void EvpAes256Gcm(benchmark::State& state) {
  std::vector<uint8_t> key(32, 1), iv(12, 2), buf(kRecord, 'x'), out(kRecord), tag(16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
  for (auto _ : state) {
    int len = 0;
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data());
    EVP_EncryptUpdate(ctx, out.data(), &len, buf.data(), int(buf.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag.data());
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRecord));
}

BENCHMARK(AdapterEncrypt);
BENCHMARK(AdapterDecrypt);
BENCHMARK(EvpAes256Gcm);

}  // namespace

BENCHMARK_MAIN();
