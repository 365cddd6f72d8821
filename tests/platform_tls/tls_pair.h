#pragma once
// Client and server contexts of the adapter talking to each other in memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tls/tls_context.h"
#include "test_pki.h"

namespace tlstest {

inline plat::TlsCertificate LoadCert(const std::filesystem::path& file, const char* password = nullptr) {
  std::vector<plat::TlsCertificate> certs;
  plat::TlsError error;
  if (!plat::TlsLoadCertificateFile(file, password, certs, error) || certs.empty()) return {};
  return certs.front();
}

inline std::shared_ptr<plat::TlsCredentials> Creds(plat::TlsRole role, uint32_t protocols,
                                                   const plat::TlsCertificate& cert = {},
                                                   const std::string& caFile = {}) {
  plat::TlsCredentialOptions o;
  o.role = role;
  o.protocols = protocols;
  o.certificate = cert;
  o.caFile = caFile;
  plat::TlsError error;
  return plat::TlsCredentials::Create(o, error);
}

// Runs handshake steps on both sides, passing bytes through, until both are done or one fails.
struct Pair {
  std::unique_ptr<plat::TlsContext> client, server;
  std::vector<uint8_t> toServer, toClient;  // bytes in flight

  Pair(std::shared_ptr<plat::TlsCredentials> c, std::shared_ptr<plat::TlsCredentials> s,
       const std::string& target = "localhost") {
    plat::TlsError e;
    client = plat::TlsContext::Create(c, target, e);
    server = plat::TlsContext::Create(s, "", e);
  }

  static plat::TlsStatus Run(plat::TlsContext& ctx, std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    size_t used = 0;
    plat::TlsStatus st = ctx.Step(in, out, used);
    in.erase(in.begin(), in.begin() + long(used));
    return st;
  }

  // True when both completed.
  bool Handshake() {
    std::vector<uint8_t> none;
    if (Run(*client, none, toServer) == plat::TlsStatus::Error) return false;
    for (int round = 0; round < 20; ++round) {
      if (Run(*server, toServer, toClient) == plat::TlsStatus::Error) return false;
      if (Run(*client, toClient, toServer) == plat::TlsStatus::Error) return false;
      if (client->HandshakeDone() && server->HandshakeDone() && toServer.empty() && toClient.empty())
        return true;
    }
    return false;
  }
};

// Decrypts every whole record of in, returning the plaintext; leaves the rest in in.
inline std::string DecryptAll(plat::TlsContext& ctx, std::vector<uint8_t>& in,
                              plat::TlsStatus* last = nullptr) {
  std::string text;
  std::vector<uint8_t> plain(16384);
  for (;;) {
    size_t n = 0, used = 0;
    plat::TlsStatus st = ctx.Decrypt(in, plain.data(), plain.size(), n, used);
    in.erase(in.begin(), in.begin() + long(used));
    text.append(reinterpret_cast<char*>(plain.data()), n);
    if (last) *last = st;
    if (st != plat::TlsStatus::Ok || in.empty()) return text;
  }
}

}  // namespace tlstest
