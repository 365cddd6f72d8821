// X11 forwarding without a server: the display helpers, the cookie check, and the setup
// of a client arriving through a channel, accepted (passed on without authorisation) or
// refused (the refusal in the client's byte order goes back through the channel).
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "byte_server.h"
#include "extra_test_util.h"
#include "ssh/proto/channel.h"
#include "ssh/x11/x11.h"
#include "ssh_proto/ssh_test_util.h"

namespace {

TEST(X11Display, NamesAndScreenNumbers) {
  unsetenv("DISPLAY");
  char* name = X11DisplayName(nullptr);
  EXPECT_STREQ(name, "localhost:0");
  CheckedFree(name);
  name = X11DisplayName(":1.0");
  EXPECT_STREQ(name, "localhost:1.0");
  CheckedFree(name);
  setenv("DISPLAY", "far:3", 1);
  name = X11DisplayName("");
  EXPECT_STREQ(name, "far:3");
  CheckedFree(name);
  unsetenv("DISPLAY");
  EXPECT_EQ(X11ScreenNumber("localhost:1.2"), 2);
  EXPECT_EQ(X11ScreenNumber("localhost:1"), 0);
  EXPECT_EQ(X11ScreenNumber("host.example:1"), 0) << "a dot in the host name is no screen";
}

TEST(X11Cookie, MadeUpCookieAndItsCheck) {
  char protocol[20], cookie[64];
  X11Auth* mit = X11MakeAuth(protocol, cookie, 1);
  EXPECT_STREQ(protocol, "MIT-MAGIC-COOKIE-1");
  ASSERT_EQ(std::strlen(cookie), 32u);
  char expected[3];
  std::snprintf(expected, sizeof expected, "%02x", mit->data[5]);
  EXPECT_EQ(std::string(cookie + 10, 2), expected);
  EXPECT_EQ(X11CheckAuth(0, -1, mit, "MIT-MAGIC-COOKIE-1", mit->data, 16), nullptr);
  uint8_t wrong[16];
  std::memcpy(wrong, mit->data, 16);
  wrong[15] ^= 1;
  EXPECT_STREQ(X11CheckAuth(0, -1, mit, "MIT-MAGIC-COOKIE-1", wrong, 16), "MIT-MAGIC-COOKIE-1 data did not match");
  EXPECT_STREQ(X11CheckAuth(0, -1, mit, "MIT-MAGIC-COOKIE-1", wrong, 15), "MIT-MAGIC-COOKIE-1 data was wrong length");
  EXPECT_STREQ(X11CheckAuth(0, -1, mit, "XDM-AUTHORIZATION-1", mit->data, 16),
               "wrong authentication protocol attempted");
  X11FreeAuth(mit);

  X11Auth* xdm = X11MakeAuth(protocol, cookie, 2);
  EXPECT_STREQ(protocol, "XDM-AUTHORIZATION-1");
  EXPECT_EQ(xdm->data[8], 0);
  uint8_t data[24] = {};
  EXPECT_STREQ(X11CheckAuth(0, -1, xdm, "XDM-AUTHORIZATION-1", data, 16), "XDM-AUTHORIZATION-1 data was wrong length");
  EXPECT_STREQ(X11CheckAuth(0, -1, xdm, "XDM-AUTHORIZATION-1", data, 24),
               "cannot do XDM-AUTHORIZATION-1 without remote address data");
  EXPECT_STREQ(X11CheckAuth(0x0A000005, 4000, xdm, "XDM-AUTHORIZATION-1", data, 24),
               "XDM-AUTHORIZATION-1 data failed check");
  X11FreeAuth(xdm);
}

std::string Pad(std::string s) {
  s.resize((s.size() + 3) & ~size_t(3), '\0');
  return s;
}

// One X11 channel of an offline SSH-2 session, its display a scripted server.
class X11Channel : public ::testing::Test {
 protected:
  void SetUp() override {
    capture.written.clear();
    session = sshtest::NewOfflineSession(&capture);
    session->protocolVersion = 2;
    channel = SshChannelNew(session, 256);
    channel->remoteId = 7;
    channel->remoteWindow = 1 << 20;
    channel->remoteMaxPacket = 1 << 15;
    channel->type = ChannelX11;
    SshChannelsAdd(session, channel);
    char protocol[20], cookie[64];
    auth = X11MakeAuth(protocol, cookie, 1);
  }
  void TearDown() override {
    session->socket = nullptr;
    SshSessionFree(session);
    X11FreeAuth(auth);
  }
  void Open(int port) {
    char display[32];
    std::snprintf(display, sizeof display, "127.0.0.1:%d", port - 6000);
    ASSERT_EQ(X11Open(&channel->socket, display, auth, "10.0.0.5", 4000, channel, &session->settings), nullptr);
  }
  // The client's setup with the given byte order and cookie.
  std::string Setup(char order, const uint8_t* cookie) {
    auto field = [&](uint16_t v) {
      return order == 'B' ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)};
    };
    return std::string(1, order) + '\0' + field(11) + field(0) + field(18) + field(16) + std::string(2, '\0') +
           Pad("MIT-MAGIC-COOKIE-1") + std::string(reinterpret_cast<const char*>(cookie), 16);
  }

  sshtest::CaptureSocket capture;
  SshSession* session = nullptr;
  SshChannel* channel = nullptr;
  X11Auth* auth = nullptr;
};

TEST_F(X11Channel, RightCookieReachesTheDisplayWithoutAuthorisation) {
  sshextra::ByteServer display([](sshextra::ByteServer& b) { b.Read(12 + 5); });
  Open(display.port());
  std::string bytes = Setup('l', auth->data) + "after";
  // Byte by byte: nothing goes on before the whole setup is there.
  for (char c : bytes) X11Send(channel->socket, reinterpret_cast<const uint8_t*>(&c), 1);
  sshextra::PumpUntil([&] { return display.done_.load(); }, 10);
  display.Finish();
  EXPECT_EQ(display.received(), std::string("l\0\x0b\0\0\0\0\0\0\0\0\0after", 17));
  EXPECT_EQ(capture.written, "") << "nothing goes back to the client";
}

TEST_F(X11Channel, WrongCookieGetsTheRefusalInTheClientsByteOrder) {
  TearDown();  // each byte order gets a fresh channel of its own
  for (char order : {'l', 'B'}) {
    SetUp();
    sshextra::ByteServer display([](sshextra::ByteServer& b) { b.ReadToEnd(); });
    Open(display.port());
    uint8_t wrong[16];
    std::memcpy(wrong, auth->data, 16);
    wrong[0] ^= 0x80;
    std::string bytes = Setup(order, wrong);
    X11Send(channel->socket, reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
    sshextra::PumpUntil([&] { return display.done_.load(); }, 10);
    display.Finish();
    EXPECT_EQ(display.received(), "") << order;
    const std::string text = "X11 Proxy: MIT-MAGIC-COOKIE-1 data did not match";
    uint16_t words = uint16_t((text.size() + 3) / 4);
    std::string field = order == 'B' ? std::string{char(words >> 8), char(words)} : std::string{char(words), '\0'};
    // Bytes 2-5 repeat the protocol version of the request as the client sent it.
    std::string refusal = std::string(1, '\0') + char(text.size()) + bytes.substr(2, 4) + field + Pad(text);
    std::vector<std::string> payloads = sshtest::PlainPayloads(capture.written);
    ASSERT_EQ(payloads.size(), 2u) << order;
    EXPECT_EQ(payloads[0], "\x5e" + sshtest::U32(7) + sshtest::Str(refusal)) << order;
    EXPECT_EQ(payloads[1], "\x61" + sshtest::U32(7)) << "the channel closes";
    EXPECT_EQ(channel->socket, nullptr);
    TearDown();
  }
  SetUp();  // for the fixture's own TearDown
}

}  // namespace
