#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/digest/crc32.h"
#include "core/digest/md5.h"

namespace {

std::string Md5Hex(const std::vector<uint8_t>& data, const std::vector<size_t>& pieces = {}) {
  Md5Context ctx;
  Md5Begin(&ctx);
  size_t at = 0;
  for (size_t piece : pieces) {
    if (at + piece > data.size()) piece = data.size() - at;
    Md5Append(&ctx, data.data() + at, piece);
    at += piece;
  }
  Md5Append(&ctx, data.data() + at, data.size() - at);
  uint8_t digest[16];
  Md5End(digest, &ctx);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

TEST(Md5, Rfc1321Suite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : suite) {
    SCOPED_TRACE(input);
    EXPECT_EQ(Md5Hex(Bytes(input)), digest);
  }
}

TEST(Md5, PaddingBoundaries) {
  // Lengths around the 56-byte mark where the bit count spills into an extra block.
  const std::pair<size_t, const char*> cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},
      {56, "3b0c8ac703f828b04c6c197006d17218"},
      {57, "652b906d60af96844ebd21b674f35e93"},
      {64, "014842d480b571495a4a0363793f7367"},
      {1000000, "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& [n, digest] : cases) {
    SCOPED_TRACE(n);
    EXPECT_EQ(Md5Hex(std::vector<uint8_t>(n, 'a')), digest);
  }
}

TEST(Md5, AppendingInPiecesGivesTheOnePieceDigest) {
  const auto data = RandomBytes(5000, 1);
  const std::string whole = Md5Hex(data);
  for (size_t size : {1, 63, 64, 65}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Md5Hex(data, std::vector<size_t>(data.size() / size + 1, size)), whole);
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<size_t> pieces;
    for (size_t total = 0; total < data.size();) {
      pieces.push_back(rng() % 200);  // includes empty appends
      total += pieces.back();
    }
    EXPECT_EQ(Md5Hex(data, pieces), whole) << "round " << round;
  }
}

TEST(Md5, EndClearsTheContext) {
  Md5Context ctx;
  Md5Begin(&ctx);
  Md5Append(&ctx, "secret", 6);
  uint8_t digest[16];
  Md5End(digest, &ctx);
  const auto* raw = reinterpret_cast<const uint8_t*>(&ctx);
  for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
}

uint32_t CrcBytewise(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) Crc32Step(p[i], &crc);
  return ~crc;
}

TEST(Crc32, CheckValue) {
  const char* digits = "123456789";
  EXPECT_EQ(CrcBytewise(reinterpret_cast<const uint8_t*>(digits), 9), 0xCBF43926u);
  uint32_t crc = 0xFFFFFFFF;
  Crc32Update(&crc, digits, 9);
  EXPECT_EQ(~crc, 0xCBF43926u);
  crc = 0xFFFFFFFF;
  Crc32Update(&crc, digits, 0);
  EXPECT_EQ(~crc, 0u);
}

TEST(Crc32, MatchesZlibOnRandomBuffersWhateverThePieces) {
  std::mt19937 rng(3);
  for (size_t size : {1, 7, 8, 9, 63, 64, 65, 1000, 65537}) {
    SCOPED_TRACE(size);
    const auto data = RandomBytes(size, uint32_t(size));
    const uint32_t expected = uint32_t(::crc32(::crc32(0, nullptr, 0), data.data(), uInt(size)));
    EXPECT_EQ(CrcBytewise(data.data(), size), expected);

    // Unaligned starts and odd piece sizes exercise the eight-byte path's edges.
    uint32_t crc = 0xFFFFFFFF;
    for (size_t at = 0; at < size;) {
      const size_t piece = std::min<size_t>(size - at, rng() % 70);
      Crc32Update(&crc, data.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(~crc, expected);
  }
}

}  // namespace
