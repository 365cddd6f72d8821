// The binary SSH-1 RSA key file: clear and triple-DES files, the passphrase check, and
// malformed files ending in a clean error with nothing left in the key.
#include <cstring>

#include "keyfile_fixture.h"
#include "ssh/crypto/keyfile.h"
#include "ssh/util/alloc.h"

using namespace kftest;

namespace {

std::string ErrorText(const char* e) { return e ? e : "(none)"; }

// A caller's key record, released at the end of the test.
struct RsaRecord {
  SshRsaKey key{};
  ~RsaRecord() {
    for (MpInt v : {key.modulus, key.exponent, key.private_exponent, key.p, key.q, key.iqmp}) MpFree(v);
    CheckedFree(key.comment);
  }
  bool Empty() const {
    return !key.modulus && !key.exponent && !key.private_exponent && !key.p && !key.q && !key.iqmp && !key.comment;
  }
};

class Ssh1KeyFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Keys().ok()) << "ssh-keygen or OpenSSL failed to make the keys"; }
  int32_t Load(const Bytes& file, RsaRecord& record, const char** error) {
    *error = "unset";
    return Ssh1KeyLoad(dir.Write("k", file).c_str(), &record.key, error);
  }
  const std::map<std::string, Bn>& rsa = Keys().rsa;
  TempDir dir;
};

// Offsets in the file: header line, terminator, cipher type, reserved bytes.
constexpr size_t kCipherAt = 33;
constexpr size_t kReservedAt = 34;

TEST_F(Ssh1KeyFile, LoadsClearAndEmptyPassphraseFiles) {
  for (uint8_t cipher : {0, 3}) {
    Ssh1File f;
    f.cipher = cipher;
    const Bytes file = f.Build(rsa);
    RsaRecord r;
    const char* error;
    ASSERT_EQ(Load(file, r, &error), 1) << ErrorText(error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(MpBytes(r.key.modulus), BnBytes(rsa.at("n").get()));
    EXPECT_EQ(MpBytes(r.key.exponent), BnBytes(rsa.at("e").get()));
    EXPECT_EQ(MpBytes(r.key.private_exponent), BnBytes(rsa.at("d").get()));
    EXPECT_EQ(MpBytes(r.key.p), BnBytes(rsa.at("P").get()));
    EXPECT_EQ(MpBytes(r.key.q), BnBytes(rsa.at("Q").get()));
    EXPECT_EQ(MpBytes(r.key.iqmp), BnBytes(rsa.at("iqmp").get()));
    EXPECT_EQ(r.key.bits, 1024u);
    EXPECT_EQ(r.key.bytes, 128u);
    EXPECT_STREQ(r.key.comment, "ssh1 key");
    EXPECT_EQ(Ssh1KeyIsEncrypted(dir.File("k").c_str()), cipher == 3 ? 1 : 0);

    // The public blob: bit count of n, e, n; and the comment.
    uint8_t* blob = nullptr;
    int32_t length = 0;
    char* comment = nullptr;
    error = "unset";
    ASSERT_EQ(Ssh1KeyPublicBlob(dir.File("k").c_str(), &blob, &length, &comment, &error), 1);
    Bytes expected;
    PutU32(expected, 1024);
    PutSsh1Number(expected, rsa.at("e").get());
    PutSsh1Number(expected, rsa.at("n").get());
    EXPECT_EQ(Bytes(blob, blob + length), expected);
    EXPECT_STREQ(comment, "ssh1 key");
    EXPECT_EQ(error, nullptr);
    CheckedFree(blob);
    CheckedFree(comment);
  }
}

TEST_F(Ssh1KeyFile, WrongPassphraseIsDetected) {
  // A real passphrase: the reader's empty one must not give a key. Check bytes are chosen
  // so that the wrong decryption cannot repeat its pair by chance.
  Ssh1File f;
  f.cipher = 3;
  f.passphrase = "correct horse";
  Bytes file;
  for (int i = 0;; ++i) {
    f.check[0] = f.check[2] = static_cast<uint8_t>(i);
    file = f.Build(rsa);
    Bytes first_block(file.begin() + static_cast<long>(f.PrivateAt(rsa)), file.begin() + static_cast<long>(f.PrivateAt(rsa)) + 8);
    Ssh1Encrypt("", first_block, false);
    if (first_block[0] != first_block[2] || first_block[1] != first_block[3]) break;
  }
  RsaRecord r;
  const char* error;
  EXPECT_EQ(Load(file, r, &error), -1);
  EXPECT_EQ(ErrorText(error), "wrong passphrase");
  EXPECT_TRUE(r.Empty());
  EXPECT_EQ(Ssh1KeyIsEncrypted(dir.File("k").c_str()), 1);

  Ssh1File mismatch;
  mismatch.check[0] = 0x12, mismatch.check[1] = 0x34, mismatch.check[2] = 0x12, mismatch.check[3] = 0x35;
  EXPECT_EQ(Load(mismatch.Build(rsa), r, &error), -1);
  EXPECT_EQ(ErrorText(error), "wrong passphrase");
}

TEST_F(Ssh1KeyFile, FormatFaults) {
  const Bytes good = Ssh1File().Build(rsa);
  auto with = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  Bytes comment_past_end = good, comment_huge = good;
  const size_t length_at = Ssh1File().CommentLengthAt(rsa);
  const size_t after = good.size() - length_at - 4;
  for (size_t i = 0; i < 4; ++i) {
    comment_past_end[length_at + i] = static_cast<uint8_t>((after + 1) >> (24 - 8 * i));
    comment_huge[length_at + i] = 0xFF;
  }
  Bytes number_past_end = good;
  number_past_end.resize(good.size() - 1);  // p loses its last byte
  Bytes too_big = good;
  too_big.resize(32 + 16384, 0);
  struct Case {
    const char* what;
    Bytes file;
    const char* error;
  } cases[] = {
      {"terminator not zero", with(32, 1), "file format error"},
      {"cipher type 1", with(kCipherAt, 1), "file format error"},
      {"reserved byte", with(kReservedAt + 2, 1), "file format error"},
      {"comment past the end", comment_past_end, "file format error"},
      {"comment length 0xFFFFFFFF", comment_huge, "file format error"},
      {"number past the end", number_past_end, "file format error"},
      {"16384 bytes after the header", too_big, "error reading file"},
      {"not an SSH-1 file", with(4, 'X'), "not an SSH-1 RSA file"},
  };
  for (auto& c : cases) {
    RsaRecord r;
    const char* error;
    EXPECT_EQ(Load(c.file, r, &error), 0) << c.what;
    EXPECT_EQ(ErrorText(error), c.error) << c.what;
    EXPECT_TRUE(r.Empty()) << c.what;
  }
}

TEST_F(Ssh1KeyFile, InconsistentNumbersAreRefused) {
  // The primes in the wrong order: every number reads, the key does not check.
  std::map<std::string, Bn> swapped;
  for (auto& [name, v] : rsa) swapped[name].reset(BN_dup(v.get()));
  std::swap(swapped["P"], swapped["Q"]);
  RsaRecord r;
  const char* error;
  EXPECT_EQ(Load(Ssh1File().Build(swapped), r, &error), 0);
  EXPECT_EQ(ErrorText(error), "sftp_rsa_verify failed");
  EXPECT_TRUE(r.Empty());
}

TEST_F(Ssh1KeyFile, EveryTruncationFailsCleanly) {
  for (uint8_t cipher : {0, 3}) {
    Ssh1File f;
    f.cipher = cipher;
    const Bytes good = f.Build(rsa);
    for (size_t n = 0; n < good.size(); ++n) {
      RsaRecord r;
      const char* error;
      ASSERT_LE(Load(Bytes(good.begin(), good.begin() + static_cast<long>(n)), r, &error), 0) << n;
      EXPECT_TRUE(r.Empty()) << n;
    }
  }
}

TEST_F(Ssh1KeyFile, PublicBlobAndIsEncryptedStopAfterTheComment) {
  uint8_t* blob = nullptr;
  int32_t length = 0;
  const char* error;
  EXPECT_EQ(Ssh1KeyPublicBlob(dir.File("missing").c_str(), &blob, &length, nullptr, &error), 0);
  EXPECT_EQ(ErrorText(error), "can't open file");
  EXPECT_EQ(Ssh1KeyIsEncrypted(dir.File("missing").c_str()), 0);

  // The private part is not read: a damaged one does not matter.
  Ssh1File f;
  f.cipher = 3;
  Bytes file = f.Build(rsa);
  file.resize(file.size() - 20);
  const std::string path = dir.Write("k", file);
  EXPECT_EQ(Ssh1KeyIsEncrypted(path.c_str()), 1);
  ASSERT_EQ(Ssh1KeyPublicBlob(path.c_str(), &blob, &length, nullptr, &error), 1);
  CheckedFree(blob);
  file[kCipherAt] = 2;
  EXPECT_EQ(Ssh1KeyIsEncrypted(dir.Write("k", file).c_str()), 0);
  EXPECT_EQ(Ssh1KeyPublicBlob(dir.File("k").c_str(), &blob, &length, nullptr, &error), 0);
  EXPECT_EQ(ErrorText(error), "file format error");
}

}  // namespace
