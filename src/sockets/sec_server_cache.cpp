// Server credentials built once per certificate. Building them opens the store, parses the
// certificate and its key and loads the trust anchors: tens of milliseconds that every
// accepted connection would otherwise pay before its handshake. A store whose files changed
// makes a new set.
#include <openssl/evp.h>

#include <deque>
#include <mutex>
#include <utility>

#include "sockets/sec_state.h"

namespace cvsock {

namespace {

// Enough for the servers of one process; the oldest set goes first.
constexpr size_t kCachedSets = 16;

struct Cache {
  std::mutex lock;
  std::deque<std::pair<std::string, std::shared_ptr<plat::TlsCredentials>>> sets;
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // never destroyed: client threads may outlive statics
  return *cache;
}

void AddField(std::string& text, const char* field) {
  const std::string value = field ? field : "";
  text += std::to_string(value.size()) + ':' + value;
}

}  // namespace

std::string ServerCredentialsKey(const SecCredentials& c, bool compatible) {
  if (!c.certName || !*c.certName) return {};
  std::string stamp = SecCertStoreStamp(&c, c.certStore);
  if (stamp.empty()) return {};
  std::string text = std::to_string(c.protocolMask) + (compatible ? "c" : "s");
  AddField(text, c.certUser);
  AddField(text, c.certPassword);
  AddField(text, c.certStore);
  AddField(text, c.certName);
  text += stamp;
  OPENSSL_cleanse(stamp.data(), stamp.size());
  // Only a digest is kept: the key must not hold the certificate's password.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) == 1;
  OPENSSL_cleanse(text.data(), text.size());
  if (!ok) return {};
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::shared_ptr<plat::TlsCredentials> FindServerCredentials(const std::string& key) {
  if (key.empty()) return nullptr;
  Cache& cache = TheCache();
  std::lock_guard lk(cache.lock);
  for (const auto& [k, set] : cache.sets)
    if (k == key) return set;
  return nullptr;
}

void KeepServerCredentials(const std::string& key, std::shared_ptr<plat::TlsCredentials> set) {
  if (key.empty() || !set) return;
  Cache& cache = TheCache();
  std::lock_guard lk(cache.lock);
  for (auto& [k, kept] : cache.sets)
    if (k == key) {
      kept = std::move(set);
      return;
    }
  if (cache.sets.size() >= kCachedSets) cache.sets.pop_front();
  cache.sets.emplace_back(key, std::move(set));
}

}  // namespace cvsock
