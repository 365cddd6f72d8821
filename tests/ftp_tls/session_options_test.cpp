// Session options against a scripted server: active port bounds, priorities with their
// buffer sizes, channel modes of a plain session, and the keep-alive thread's NOOP.
#include <chrono>
#include <thread>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_keepalive.h"
#include "support/script_server.h"
#include "tls_fixture.h"

namespace ftptls {
namespace {

using cvtest::ScriptServer;
using namespace std::chrono_literals;
using cvftp::kOptNoServerQueries;

constexpr uint32_t kKeep = 0xFFFFFFFFu;

class OptionsTest : public TlsTest {
 protected:
  LibHandle Connect(ScriptServer& server) {
    server.Start();
    LibHandle h =
        FtpConnect(server.address(), uint32_t(server.port()), nullptr, nullptr, 3, kOptNoServerQueries, nullptr);
    EXPECT_NE(h, kNone) << LastError();
    return h;
  }
  static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return done();
  }
};

TEST_F(OptionsTest, ActivePortBounds) {
  ScriptServer server;
  server.Reply("220 ready");
  LibHandle h = Connect(server);
  struct Case {
    uint32_t low, high, wantLow, wantHigh;
  };
  const Case cases[] = {
      {6000, 2000, 2000, 6000},  // swapped
      {80, kKeep, 1025, 6000},   // clamped, high kept
      {kKeep, 70000, 1025, 65535},
      {3000, 3000, 3000, 3000},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(FtpSetActivePorts(h, c.low, c.high), 0);
    uint32_t low = 0, high = 0;
    ASSERT_EQ(FtpGetActivePorts(h, &low, nullptr), 0);
    ASSERT_EQ(FtpGetActivePorts(h, nullptr, &high), 0);
    EXPECT_EQ(low, c.wantLow) << c.low << "," << c.high;
    EXPECT_EQ(high, c.wantHigh) << c.low << "," << c.high;
  }
  FtpFreeSession(h);
}

TEST_F(OptionsTest, PriorityAndBufferSize) {
  ScriptServer server;
  server.Reply("220 ready");
  LibHandle h = Connect(server);
  FtpSession* s = FtpGetSession(h);
  ASSERT_EQ(s->dataBufferSize, 8192u);
  EXPECT_EQ(FtpSetPriority(h, 4), 2);
  EXPECT_EQ(s->dataBufferSize, 16384u);
  EXPECT_EQ(FtpGetPriority(h), 4);
  EXPECT_EQ(FtpSetPriority(h, 2), 4);  // normal leaves the buffer
  EXPECT_EQ(s->dataBufferSize, 16384u);
  EXPECT_EQ(FtpSetPriority(h, 0), 2);
  EXPECT_EQ(s->dataBufferSize, 4096u);
  EXPECT_EQ(FtpSetPriority(h, 5), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpGetPriority(h), 0);

  EXPECT_EQ(FtpSetBufferSize(h, 100), 256);
  EXPECT_EQ(FtpSetBufferSize(h, 8u << 20), 1 << 20);
  // Bytes still buffered move to the new buffer; a size below them is refused.
  std::memcpy(s->dataBuffer, "0123456789", 10);
  s->dataCursor = s->dataBuffer + 4;
  s->bytesBuffered = 6;
  EXPECT_EQ(FtpSetBufferSize(h, 1000), 1000);
  EXPECT_EQ(std::string(s->dataCursor, s->bytesBuffered), "456789");
  s->bytesBuffered = 300;
  EXPECT_EQ(FtpSetBufferSize(h, 256), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  s->bytesBuffered = 0;
  FtpFreeSession(h);
}

TEST_F(OptionsTest, ChannelModesOfAPlainSession) {
  ScriptServer server;
  server.Reply("220 ready");
  LibHandle h = Connect(server);
  EXPECT_EQ(FtpGetChannelMode(h, 0), 0);
  EXPECT_EQ(FtpGetChannelMode(h, 1), 0);
  EXPECT_EQ(FtpSetChannelMode(h, 1, 1), -1);
  EXPECT_EQ(LastError(), cvErrorSecurityNotInitialized);
  EXPECT_EQ(FtpSetChannelMode(h, 0, 1), -1);
  EXPECT_EQ(LastError(), cvErrorSecurityNotInitialized);
  EXPECT_EQ(FtpSetChannelMode(h, 0, 0), 0);  // already clear: nothing to send
  EXPECT_EQ(FtpSetChannelMode(h, 2, 0), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpGetChannelMode(h, 2), -1);
  EXPECT_TRUE(server.received().empty());
  FtpFreeSession(h);
}

class KeepAliveTest : public OptionsTest {
 protected:
  void SetUp() override {
    OptionsTest::SetUp();
    auto& t = cvftp::KeepAliveTimes();
    t.passIntervalMs = 50;
    t.idleMs = 300;
    t.answerWaitMs = 300;
    t.answerRestMs = 100;
  }
  static bool Running() {
    std::lock_guard lk(cvftp::Library().lock());
    return cvftp::Library().state().keepAlive.running;
  }
};

// An idle session gets a NOOP whose answer never becomes a reply of the session.
TEST_F(KeepAliveTest, NoopOnAnIdleSession) {
  ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Reply("200 NOOP ok").Expect("PWD").Reply("257 \"/kept\"");
  LibHandle h = Connect(server);
  ASSERT_EQ(FtpEnableKeepAlive(h), 0);
  EXPECT_TRUE(Running());
  ASSERT_TRUE(WaitFor([&] { return !server.received().empty(); }));
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257) << LastError();
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpFreeSession(h);
  // The last keep-alive session is gone: the thread ends by itself.
  EXPECT_TRUE(WaitFor([] { return !Running(); }));
}

// A server that leaves the NOOP unanswered loses keep-alive; its late answer is drained
// before the next command.
TEST_F(KeepAliveTest, SilentServerLosesKeepAlive) {
  ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Sleep(600ms).Reply("200 late NOOP").Expect("PWD").Reply(
      "257 \"/mine\"");
  LibHandle h = Connect(server);
  ASSERT_EQ(FtpEnableKeepAlive(h), 0);
  ASSERT_TRUE(WaitFor([&] { return !(FtpGetSession(h)->options & 0x8); }));
  EXPECT_TRUE(WaitFor([] { return !Running(); }));
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257) << LastError();
  char text[64];
  FtpGetResultString(h, text, sizeof text);
  EXPECT_NE(std::string(text).find("/mine"), std::string::npos) << text;
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpFreeSession(h);
}

// The last detach ends a sleeping keep-alive thread at once.
TEST_F(KeepAliveTest, LastDetachJoinsTheThread) {
  cvftp::KeepAliveTimes().passIntervalMs = 60000;
  ScriptServer server;
  server.Reply("220 ready");
  LibHandle h = Connect(server);
  ASSERT_EQ(FtpEnableKeepAlive(h), 0);
  const auto start = std::chrono::steady_clock::now();
  FtpDetach();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_EQ(FtpAttach(nullptr), 1);
  EXPECT_FALSE(Running());
}

}  // namespace
}  // namespace ftptls
