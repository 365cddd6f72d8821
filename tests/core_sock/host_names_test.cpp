// Host-name validation, IDN encoding, normalisation and the numeric conversions.
#include <arpa/inet.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "platform/net/wsa_errors.h"

namespace {

class SockNames : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
    saved_ = cvcore::Binding().ws;
  }
  void TearDown() override {
    cvcore::Binding().ws = saved_;
    SockCleanup();
  }
  plat::WsaTable saved_{};
};

std::string Label(size_t n) { return std::string(n, 'a'); }

}  // namespace

TEST_F(SockNames, ValidHostNames) {
  std::string name255 = Label(63) + "." + Label(63) + "." + Label(63) + "." + Label(63);  // 255 bytes
  struct Case {
    std::string name;
    int32_t valid;
  } cases[] = {
      {"abc", 1},
      {"ab", 0},
      {"-abc.example", 0},
      {".abc.example", 0},
      {Label(63) + ".example", 1},
      {Label(64) + ".example", 0},
      {name255, 1},
      {name255 + "a", 0},  // 256 bytes
      {"under_score.example", 0},
      {"bücher.example", 1},
      {"b\xC3" "cher.example", 0},  // lead byte without its continuation
      {"b\xFF" "cher.example", 0},
      {"\xF0\x9F\x98\x80.example", 1},  // four-byte sequence
      // Non-ASCII letters do not count towards the 63 of a label.
      {Label(62) + "ü.example", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(SockIsValidHostName(c.name.c_str()), c.valid) << c.name;
  EXPECT_EQ(SockIsValidHostName(nullptr), 0);
}

TEST_F(SockNames, Utf8NamesNeedIdn) {
  cvcore::Binding().ws.IdnToAscii = nullptr;
  EXPECT_EQ(SockIsValidHostName("bücher.example"), 0);
  EXPECT_EQ(SockIsValidHostName("buecher.example"), 1);
  char out[kSockHostNameSize];
  EXPECT_EQ(SockEncodeIdnName("bücher.example", out), 0);
  EXPECT_STREQ(SockNormalizeHostName(" Buecher.Example ", out), "buecher.example");
  EXPECT_EQ(SockNormalizeHostName("bücher.example", out), nullptr);
}

TEST_F(SockNames, EncodeIdn) {
  char out[kSockHostNameSize];
  EXPECT_EQ(SockEncodeIdnName("bücher.example", out), 21);
  EXPECT_STREQ(out, "xn--bcher-kva.example");
  EXPECT_EQ(SockEncodeIdnName("plain.example", out), 13);
  EXPECT_EQ(SockEncodeIdnName("b\xFF" "cher.example", out), 0);  // invalid UTF-8
  EXPECT_EQ(SockEncodeIdnName("", out), 0);
  EXPECT_EQ(SockEncodeIdnName((Label(64) + ".example").c_str(), out), 0);
  std::string longName;
  for (int i = 0; i < 5; ++i) longName += "ü" + Label(60) + ".";
  EXPECT_EQ(SockEncodeIdnName(longName.c_str(), out), 0);  // more than 255 characters of ASCII
}

TEST_F(SockNames, NormalizeHostNames) {
  struct Case {
    std::string input;
    const char* expected;  // null: rejected
  } cases[] = {
      {"  Example.COM.  ", "example.com"},
      {"\t\r\nhost.example trailing words", "host.example"},
      {"a.", nullptr},
      {"ab", nullptr},
      {"abc.", "abc"},
      {"1.2.3.4", "1.2.3.4"},
      {" 0:0:0:0:0:0:0:1 ", "::1"},
      {"FE80:0:0::1", "fe80::1"},
      {"[::1]", nullptr},
      {"bücher.example", "xn--bcher-kva.example"},
      {"BÜCHER.example", "xn--bcher-kva.example"},
      {"-bad.example", nullptr},
      {Label(256), nullptr},
      {"", nullptr},
  };
  char out[kSockHostNameSize];
  for (const auto& c : cases) {
    const char* r = SockNormalizeHostName(c.input.c_str(), out);
    if (c.expected) {
      EXPECT_EQ(r, out) << c.input;
      EXPECT_STREQ(out, c.expected) << c.input;
    } else {
      EXPECT_EQ(r, nullptr) << c.input;
    }
  }
}

TEST_F(SockNames, InetAddrFallbackParser) {
  struct Case {
    const char* text;
    const char* bytes;  // dotted expectation, null: invalid
  } cases[] = {
      {"1.2.3.4", "1.2.3.4"},  {"0x7f.1", "127.0.0.1"},   {"1.2.3.256", nullptr}, {"1.2.3.4:21", nullptr},
      {"1.2.3.4\r", "1.2.3.4"}, {"1.2.3.4 x", "1.2.3.4"}, {"10.65536", "10.1.0.0"}, {"10.0x10000", "10.1.0.0"},
      {"1.0x1000000", nullptr}, {"1.2.65536", nullptr},    {"4294967295", "255.255.255.255"},
      {"4294967296", nullptr},  {"1.2.3.4.5", nullptr},    {"256.1", nullptr},     {"1..2", nullptr},
      {"", nullptr},            {"010.1", "10.0.0.1"},
  };
  for (const auto& c : cases) {
    uint32_t v = SockInetAddr(c.text);
    if (!c.bytes) {
      EXPECT_EQ(v, 0xFFFFFFFFu) << c.text;
      continue;
    }
    in_addr a;
    a.s_addr = v;
    EXPECT_STREQ(inet_ntoa(a), c.bytes) << c.text;
  }
}

TEST_F(SockNames, NtopPtonAndTheirFallbacks) {
  unsigned char v4[4] = {192, 0, 2, 7}, v6[16] = {};
  v6[15] = 1;
  char text[64];
  EXPECT_STREQ(SockInetNtop(plat::kAfInet6, v6, text, sizeof text), "::1");
  EXPECT_EQ(SockInetNtop(99, v4, text, sizeof text), nullptr);
  EXPECT_EQ(SockGetLastError(), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(SockInetNtop(plat::kAfInet, nullptr, text, sizeof text), nullptr);
  EXPECT_EQ(SockGetLastError(), plat::WSAEINVAL);
  EXPECT_EQ(SockInetPton(99, "1.2.3.4", v4), -1);
  EXPECT_EQ(SockGetLastError(), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(SockInetPton(plat::kAfInet, nullptr, v4), -1);
  EXPECT_EQ(SockGetLastError(), plat::WSAEINVAL);

  auto& ws = cvcore::Binding().ws;
  ws.inet_ntop = nullptr;  // through getnameinfo
  ws.inet_pton = nullptr;  // through getaddrinfo
  EXPECT_STREQ(SockInetNtop(plat::kAfInet6, v6, text, sizeof text), "::1");
  EXPECT_EQ(SockInetNtop(99, v6, text, sizeof text), nullptr);
  EXPECT_EQ(SockGetLastError(), plat::WSAEINVAL);
  EXPECT_EQ(SockInetPton(plat::kAfInet6, "::2", v6), 1);
  EXPECT_EQ(v6[15], 2);
  EXPECT_EQ(SockInetPton(plat::kAfInet, "not.an.address", v4), 0);

  ws.getnameinfo = nullptr;
  ws.getaddrinfo = nullptr;
  ws.inet_ntoa = nullptr;  // the per-thread text buffer
  unsigned char a[4] = {10, 1, 2, 3};
  EXPECT_STREQ(SockInetNtop(plat::kAfInet, a, text, sizeof text), "10.1.2.3");
  EXPECT_EQ(SockInetNtop(plat::kAfInet6, v6, text, sizeof text), nullptr);
  EXPECT_EQ(SockGetLastError(), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(SockInetPton(plat::kAfInet, "0x7f.1", a), 1);
  EXPECT_EQ(a[0], 127);
  EXPECT_EQ(SockInetPton(plat::kAfInet6, "::1", v6), -1);
  EXPECT_EQ(SockGetLastError(), plat::WSAEAFNOSUPPORT);

  char* mine = SockInetNtoa(0x0100007F);
  char* theirs = nullptr;
  std::thread([&] { theirs = SockInetNtoa(0x0200007F); }).join();
  EXPECT_NE(mine, theirs);
  EXPECT_STREQ(mine, "127.0.0.1");
}
