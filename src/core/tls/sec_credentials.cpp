// The credentials record: one block holding the head and its strings.
#include <cstdlib>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "platform/base/last_error.h"

namespace {

size_t TextSize(const char* s) { return s ? std::strlen(s) + 1 : 0; }

// Copies s behind the head at *cursor and returns where it went (null for null).
char* Place(char*& cursor, const char* s) {
  if (s == nullptr) return nullptr;
  size_t n = std::strlen(s) + 1;
  std::memcpy(cursor, s, n);
  char* at = cursor;
  cursor += n;
  return at;
}

// The record, or null when there is no memory for it.
SecCredentials* Build(uint32_t mask, uint32_t location, const char* serverName, const char* user,
                      const char* password, const char* store, const char* name, const char* last) {
  size_t total = sizeof(SecCredentials) + TextSize(serverName) + TextSize(user) + TextSize(password) +
                 TextSize(store) + TextSize(name) + TextSize(last);
  auto* c = static_cast<SecCredentials*>(std::calloc(1, total));
  if (c == nullptr) return nullptr;
  c->headSize = sizeof(SecCredentials);
  c->protocolMask = mask;
  c->storeLocation = location;
  char* cursor = reinterpret_cast<char*>(c + 1);
  c->serverName = Place(cursor, serverName);
  c->certUser = Place(cursor, user);
  c->certPassword = Place(cursor, password);
  c->certStore = Place(cursor, store);
  c->certName = Place(cursor, name);
  c->reservedText = Place(cursor, last);
  return c;
}

}  // namespace

int32_t SecCreateCredentials(uint32_t protocolMask, const char* certUser, const char* certPassword,
                             const char* certStore, const char* certName, SecCredentials** credentials) {
  if (credentials == nullptr) {
    plat::SetLastError(cvErrorInvalidParameter);
    return 0;
  }
  SecFreeCredentials(credentials);
  *credentials = Build(protocolMask, 0, nullptr, certUser, certPassword, certStore, certName, nullptr);
  if (*credentials == nullptr) plat::SetLastError(cvErrorOutOfMemory);
  return *credentials ? 1 : 0;
}

SecCredentials* SecCopyCredentials(const SecCredentials* c) {
  if (c == nullptr) {
    plat::SetLastError(cvErrorInvalidParameter);
    return nullptr;
  }
  SecCredentials* copy = Build(c->protocolMask, c->storeLocation, c->serverName, c->certUser, c->certPassword,
                               c->certStore, c->certName, c->reservedText);
  if (copy == nullptr) plat::SetLastError(cvErrorOutOfMemory);
  return copy;
}

void SecFreeCredentials(SecCredentials** credentials) {
  if (credentials == nullptr || *credentials == nullptr) return;
  SecCredentials* c = *credentials;
  // The password lives in the block: wipe it before the memory goes back.
  if (c->certPassword) explicit_bzero(c->certPassword, std::strlen(c->certPassword));
  std::free(c);
  *credentials = nullptr;
}
