#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ssh/util/alloc.h"
#include "ssh/util/buffer_chain.h"
#include "ssh/util/strings.h"
#include "ssh/util/uint64.h"
#include "ssh/util/wildcard.h"

namespace {

TEST(Wildcard, Matching) {
  struct {
    const char* pattern;
    const char* text;
    int want;
  } cases[] = {
      {"OpenSSH_2.[5-9]*", "OpenSSH_2.9p1", 1},
      {"OpenSSH_2.[5-9]*", "OpenSSH_3.0", 0},
      {"* VShell", "2.0.0 VShell", 1},
      {"* VShell", "2.0.0 VShell2", 0},
      {"", "", 1},
      {"", "a", 0},
      {"*", "", 1},
      {"a?c", "abc", 1},
      {"a?c", "ac", 0},
      {"a*b*c", "axxbyyc", 1},
      {"a*b*c", "axxbyy", 0},
      {"*ab*ab", "xabab", 1},   // middle segment placed at its first fit
      {"*aab", "aaab", 1},      // last segment anchored at the end
      {"ab", "abc", 0},
      {"[^a-c]x", "dx", 1},
      {"[^a-c]x", "bx", 0},
      {"[z-a]", "m", 1},        // a reversed range means the same
      {"[\\]]", "]", 1},
      {"\\*", "*", 1},
      {"\\*", "a", 0},
      {"Abc", "abc", 0},        // case-sensitive
      {"abc\\", "abc", -1},
      {"x[ab", "xa", -2},
      {"x[a-", "xa", -2},
      {"x[a-]", "xa", -3},
  };
  for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.want) << c.pattern << " / " << c.text;
}

TEST(Wildcard, ToLiteral) {
  char out[32];
  EXPECT_EQ(WildcardToLiteral(out, "plain\\*name\\\\"), 1);
  EXPECT_STREQ(out, "plain*name\\");
  EXPECT_EQ(WildcardToLiteral(nullptr, "file.txt"), 1);
  for (const char* p : {"a*", "a?", "[a]", "a]"}) EXPECT_EQ(WildcardToLiteral(out, p), 0) << p;
}

TEST(Strings, SizeSuffix) {
  EXPECT_EQ(ParseSizeSuffix("1G"), 1073741824u);
  EXPECT_EQ(ParseSizeSuffix("512 k"), 524288u);
  EXPECT_EQ(ParseSizeSuffix("10x"), 10u);
  EXPECT_EQ(ParseSizeSuffix("  3M"), 3145728u);
  EXPECT_EQ(ParseSizeSuffix("4G"), 0u);  // the product is a 32-bit value
  EXPECT_EQ(ParseSizeSuffix(""), 0u);
}

TEST(Strings, Duplicates) {
  EXPECT_EQ(DupString(nullptr), nullptr);
  char* s = DupString("abc");
  EXPECT_STREQ(s, "abc");
  CheckedFree(s);
  s = DupConcat("one", "", "two", "three", nullptr);
  EXPECT_STREQ(s, "onetwothree");
  CheckedFree(s);
  const std::string big(3000, 'q');
  s = DupPrintf("%s-%d", big.c_str(), 42);  // grows past the first 512 bytes
  EXPECT_EQ(std::string(s), big + "-42");
  CheckedFree(s);
}

TEST(Strings, Base64Groups) {
  char out[4];
  const uint8_t m[] = {'M', 'a', 'n'};
  Base64Group(m, 3, out);
  EXPECT_EQ(std::string(out, 4), "TWFu");
  Base64Group(m, 2, out);
  EXPECT_EQ(std::string(out, 4), "TWE=");
  Base64Group(m, 1, out);
  EXPECT_EQ(std::string(out, 4), "TQ==");
  const uint8_t hi[] = {0xFB, 0xFF, 0xBF};
  Base64Group(hi, 3, out);
  EXPECT_EQ(std::string(out, 4), "+/+/");
}

TEST(Strings, FilenameIsEmpty) {
  EXPECT_EQ(FilenameIsEmpty(""), 1);
  EXPECT_EQ(FilenameIsEmpty("k"), 0);
}

TEST(BufferChain, BlocksPrefixConsumeFetch) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  BufferChain c;
  BufferChainInit(&c);
  BufferChainAdd(&c, data.data(), 1000);
  EXPECT_EQ(BufferChainSize(&c), 1000u);
  EXPECT_EQ(c.head->end, 512u);
  EXPECT_EQ(c.tail->end, 488u);
  EXPECT_EQ(c.head->next, c.tail);

  uint8_t out[1000];
  BufferChainFetch(&c, out, 700);
  EXPECT_EQ(std::memcmp(out, data.data(), 700), 0);

  BufferChainConsume(&c, 600);
  EXPECT_EQ(c.head, c.tail);  // the emptied first block is gone
  EXPECT_EQ(BufferChainSize(&c), 400u);
  const void* prefix;
  uint32_t len;
  BufferChainPrefix(&c, &prefix, &len);
  EXPECT_EQ(len, 400u);
  EXPECT_EQ(std::memcmp(prefix, data.data() + 600, 400), 0);

  // New bytes fill the free room of the last block first.
  BufferChainAdd(&c, data.data(), 30);
  EXPECT_EQ(c.head->end, 512u);  // 24 bytes of room were left
  EXPECT_EQ(c.head->next, c.tail);
  EXPECT_EQ(c.tail->end, 6u);
  EXPECT_EQ(BufferChainSize(&c), 430u);
  BufferChainFetch(&c, out, 430);
  EXPECT_EQ(std::memcmp(out + 400, data.data(), 30), 0);

  // Asking for more than is queued stops at what is there.
  BufferChainConsume(&c, 5000);
  EXPECT_EQ(BufferChainSize(&c), 0u);
  EXPECT_EQ(c.head, nullptr);
  BufferChainClear(&c);
}

TEST(CheckedAlloc, RefusesOverflowingCounts) {
  EXPECT_EQ(CheckedAlloc(0x40000000, 2), nullptr);
  EXPECT_EQ(CheckedRealloc(nullptr, 0x40000000, 2), nullptr);
  void* p = CheckedAlloc(0, 8);  // at least one byte
  EXPECT_NE(p, nullptr);
  p = CheckedRealloc(p, 100, 4);
  ASSERT_NE(p, nullptr);
  CheckedFree(p);
  CheckedFree(nullptr);
}

TEST(Uint64, Helpers) {
  EXPECT_EQ(Uint64Make(1, 2), 0x100000002ull);
  EXPECT_EQ(Uint64Add32(0xFFFFFFFFull, 1), 0x100000000ull);
  EXPECT_EQ(Uint64Add(~0ull, 2), 1ull);
  EXPECT_EQ(Uint64Compare(1, 2), -1);
  EXPECT_EQ(Uint64Compare(Uint64Make(1, 0), 0xFFFFFFFFull), 1);
  EXPECT_EQ(Uint64Compare(5, 5), 0);
}

}  // namespace
