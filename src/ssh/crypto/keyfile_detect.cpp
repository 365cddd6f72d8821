// Telling key files apart by their first bytes.
#include <cstring>
#include <string>

#include "ssh/crypto/keyfile.h"
#include "ssh/crypto/keyfile_io.h"
#include "ssh/crypto/keyfile_ssh2.h"

namespace {

constexpr char kSsh1Header[] = "SSH PRIVATE KEY FILE FORMAT 1.1\n";
constexpr char kPemHeader[] = "-----BEGIN ";
constexpr char kForeignHeader[] = "---- BEGIN SSH2 ENCRYPTED PRIVAT";

}  // namespace

int32_t KeyFileDetect(const char* filename) {
  sshkeyfile::KeyFile file(filename);
  if (!file) return KeyFileUnreadable;
  char head[32];
  size_t n = std::fread(head, 1, sizeof head, file.get());
  if (std::ferror(file.get())) return KeyFileUnreadable;
  if (n < sizeof head) return KeyFileUnknown;
  if (std::memcmp(head, kSsh1Header, 32) == 0) return KeyFileSsh1;
  if (std::memcmp(head, kPemHeader, 11) == 0) return KeyFilePem;
  if (std::memcmp(head, kForeignHeader, 32) == 0) return KeyFileForeignSsh2;
  // An SSH-2 key file starts with a header line naming its algorithm.
  std::rewind(file.get());
  std::string line, value;
  if (sshkeyfile::ReadLine(file.get(), line) && sshkeyfile::ParseHeader(line, nullptr, value) &&
      sshkeyfile::Ssh2Algorithm(value))
    return KeyFileSsh2;
  return KeyFileUnknown;
}
