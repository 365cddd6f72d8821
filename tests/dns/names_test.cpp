// Wire-format names: encoding, compression, and expansion of hostile input.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns/dns.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const char* name) {
  uint8_t out[300];
  int32_t n = DnsEncodeName(name, out, sizeof out, nullptr, nullptr);
  return n < 0 ? Bytes{} : Bytes(out, out + n);
}

TEST(DnsNames, EncodesLabelsEscapesAndTrailingDot) {
  EXPECT_EQ(Encode("mx.example.com"), (Bytes{2, 'm', 'x', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0}));
  EXPECT_EQ(Encode("a.b."), (Bytes{1, 'a', 1, 'b', 0}));
  EXPECT_EQ(Encode("a\\.b.c"), (Bytes{3, 'a', '.', 'b', 1, 'c', 0}));
  EXPECT_EQ(Encode("."), (Bytes{0}));
  EXPECT_EQ(Encode(std::string(63, 'x').c_str()).size(), 65u);
}

TEST(DnsNames, RefusesBadLabelsAndShortRoom) {
  for (const char* bad : {"a..b", ".a", "a\\", "a.."}) EXPECT_TRUE(Encode(bad).empty()) << bad;
  EXPECT_TRUE(Encode(std::string(64, 'x').c_str()).empty());
  uint8_t out[8];
  EXPECT_EQ(DnsEncodeName("abc.def", out, 8, nullptr, nullptr), -1);  // needs 9
  EXPECT_EQ(DnsEncodeName("abc.de", out, 8, nullptr, nullptr), 8);
}

TEST(DnsNames, CompressesSharedSuffixesAndExpandsThemBack) {
  uint8_t message[128] = {};
  const uint8_t* list[4] = {message, nullptr};
  const uint8_t** end = list + 4;
  uint8_t* p = message + 12;
  int32_t first = DnsEncodeName("mail.example.com", p, 100, list, end);
  ASSERT_EQ(first, 18);
  int32_t second = DnsEncodeName("mx.EXAMPLE.com", p + first, 100, list, end);
  // "mx" and a pointer to "example.com" inside the first name (offset 12 + 5).
  ASSERT_EQ(second, 5);
  EXPECT_EQ(p[first + 3], 0xC0);
  EXPECT_EQ(p[first + 4], 17);
  int32_t third = DnsEncodeName("mail.example.com", p + first + second, 100, list, end);
  EXPECT_EQ(third, 2);  // the whole name again: one pointer

  char out[1024];
  const uint8_t* stop = p + first + second + third;
  EXPECT_EQ(DnsExpandName(message, stop, p + first, out), 5);
  EXPECT_STREQ(out, "mx.example.com");
  EXPECT_EQ(DnsExpandName(message, stop, p + first + second, out), 2);
  EXPECT_STREQ(out, "mail.example.com");
}

TEST(DnsNames, ExpandsDotsInsideLabelsWithBackslash) {
  const uint8_t m[] = {3, 'a', '.', 'b', 1, 'c', 0};
  char out[1024];
  EXPECT_EQ(DnsExpandName(m, m + sizeof m, m, out), 7);
  EXPECT_STREQ(out, "a\\.b.c");
}

TEST(DnsNames, HostileNamesFailCleanly) {
  struct Case {
    const char* what;
    Bytes message;
    size_t position;
  };
  const Case cases[] = {
      {"pointer to itself", {0xC0, 0x00}, 0},
      {"two pointers in a loop", {1, 'a', 0xC0, 0x04, 0xC0, 0x00}, 0},
      {"pointer outside the answer", {1, 'a', 0xC0, 0x40}, 0},
      {"pointer cut in half", {1, 'a', 0xC0}, 0},
      {"label past the end", {5, 'a', 'b'}, 0},
      {"no terminator", {1, 'a'}, 0},
      {"one high bit (0x40)", {0x41, 'a', 0}, 0},
      {"one high bit (0x80)", {0x81, 'a', 0}, 0},
      {"position at the end", {0}, 1},
  };
  for (const Case& c : cases) {
    char out[1024] = "x";
    const uint8_t* m = c.message.data();
    EXPECT_EQ(DnsExpandName(m, m + c.message.size(), m + c.position, out), -1) << c.what;
    EXPECT_STREQ(out, "") << c.what;
  }
}

TEST(DnsNames, ExpansionStopsAt1023Characters) {
  // 16 labels of 63 characters give 16 * 64 - 1 = 1023 characters: fits exactly.
  Bytes m;
  for (int i = 0; i < 16; ++i) {
    m.push_back(63);
    m.insert(m.end(), 63, 'a');
  }
  m.push_back(0);
  char out[1024];
  EXPECT_EQ(DnsExpandName(m.data(), m.data() + m.size(), m.data(), out), int32_t(m.size()));
  EXPECT_EQ(std::strlen(out), 1023u);
  // One more character does not.
  m.back() = 1;
  m.push_back('b');
  m.push_back(0);
  EXPECT_EQ(DnsExpandName(m.data(), m.data() + m.size(), m.data(), out), -1);
}

}  // namespace
