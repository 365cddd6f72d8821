// Telling key files apart, including the files the real tools write, which the readers
// refuse cleanly.
#include "keyfile_fixture.h"
#include "ssh/crypto/keyfile.h"

using namespace kftest;

namespace {

TEST(KeyFileDetect, KindsByFirstBytes) {
  ASSERT_TRUE(Keys().ok());
  TempDir dir;
  const Bytes ssh1_bytes = Ssh1File().Build(Keys().rsa);
  const std::string ssh1(ssh1_bytes.begin(), ssh1_bytes.end());
  struct Case {
    const char* what;
    std::string text;
    int32_t type;
  } cases[] = {
      {"empty", "", KeyFileUnknown},
      {"31 bytes of the SSH-1 header", "SSH PRIVATE KEY FILE FORMAT 1.1", KeyFileUnknown},
      {"SSH-1 key", ssh1, KeyFileSsh1},
      {"SSH-2 RSA key", Keys().RsaFile().Text(), KeyFileSsh2},
      {"SSH-2 DSA key, any first name", "X: ssh-dss\r\nEncryption: none\r\n...........", KeyFileSsh2},
      {"other algorithm", "Name: ssh-ed25519\nEncryption: none\n.........", KeyFileUnknown},
      {"PEM armour, whatever follows", "-----BEGIN " + std::string(21, '?'), KeyFilePem},
      {"PEM armour, 31 bytes", "-----BEGIN " + std::string(20, '?'), KeyFileUnknown},
      {"foreign encrypted", "---- BEGIN SSH2 ENCRYPTED PRIVATE KEY ----\n", KeyFileForeignSsh2},
      {"public key", "---- BEGIN SSH2 PUBLIC KEY ----\nComment: x\n", KeyFileUnknown},
      {"text", "just some text that is long enough\n", KeyFileUnknown},
  };
  for (auto& c : cases) EXPECT_EQ(KeyFileDetect(dir.Write("k", c.text).c_str()), c.type) << c.what;
  EXPECT_EQ(KeyFileDetect(dir.File("missing").c_str()), KeyFileUnreadable);
  EXPECT_EQ(KeyFileDetect(dir.path().c_str()), KeyFileUnreadable);  // a directory opens but cannot be read
}

TEST(KeyFileDetect, FilesOfTheRealToolsArePemAndRefused) {
  TempDir dir;
  const std::vector<std::string> commands = {
      "ssh-keygen -q -t rsa -b 1024 -N '' -f %",
      "ssh-keygen -q -t rsa -b 1024 -N secret -f %",
      "ssh-keygen -q -t rsa -b 1024 -m PEM -N '' -f %",
      "ssh-keygen -q -t rsa -b 1024 -m PEM -N secret -f %",
      "ssh-keygen -q -t dsa -m PKCS8 -N secret -f %",
      "openssl genrsa -traditional -aes128 -passout pass:secret -out % 1024",
      "openssl genrsa -traditional -des3 -passout pass:secret -out % 1024",
      "openssl dsaparam -genkey -noout -out % 1024",
  };
  int i = 0;
  for (std::string cmd : commands) {
    const std::string path = dir.File("key" + std::to_string(i++));
    cmd.replace(cmd.find('%'), 1, path);
    kftest::Run(cmd + " </dev/null >/dev/null 2>&1");
    EXPECT_EQ(KeyFileDetect(path.c_str()), KeyFilePem) << cmd;
    const char* error = "unset";
    EXPECT_EQ(Ssh2KeyLoad(path.c_str(), &error), nullptr) << cmd;
    EXPECT_EQ(error, nullptr) << cmd;
    SshRsaKey key{};
    EXPECT_EQ(Ssh1KeyLoad(path.c_str(), &key, &error), 0) << cmd;
    EXPECT_STREQ(error, "not an SSH-1 RSA file") << cmd;
    EXPECT_EQ(key.modulus, nullptr);
    EXPECT_EQ(Ssh2KeyIsEncrypted(path.c_str()), 0) << cmd;
    EXPECT_EQ(Ssh1KeyIsEncrypted(path.c_str()), 0) << cmd;
  }
}

}  // namespace
