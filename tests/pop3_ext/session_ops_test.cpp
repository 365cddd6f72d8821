// The session operations a host drives itself: the window-notified connect, raw reads and
// writes, the reply text, timeouts, readiness, the state, cancel, the local address and
// message submission with XTND XMIT, against a scripted server.
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "pop3/pop3_control.h"
#include "pop3_test_support.h"

namespace pop3test {
namespace {

using namespace std::chrono_literals;

class SessionOpsTest : public Pop3Test {};

TEST_F(SessionOpsTest, WindowConnectReturnsAtOnceAndReportsTheGreeting) {
  HostWindow window;
  cvtest::ScriptServer server;
  server.Sleep(300ms).Reply("+OK slow server").Expect("NOOP").Reply("+OK fine").Expect("QUIT").Reply("+OK");
  server.Start();
  const LibHandle h = Pop3Connect(server.address(), uint32_t(server.port()), 5, 0, nullptr, window.hwnd(),
                                  HostWindow::kMessage);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << Pop3GetLastError();
  EXPECT_EQ(Pop3GetState(h), int32_t(cvmail::MailState::Connecting));
  ASSERT_TRUE(PumpUntil([&] { return window.Count(cvmail::kMailEventConnect) > 0; }, 5000));
  const auto connect = std::find_if(window.deliveries.begin(), window.deliveries.end(),
                                    [](const auto& d) { return d.event == cvmail::kMailEventConnect; });
  EXPECT_EQ(connect->handle, h);
  EXPECT_EQ(connect->error, 0u);
  EXPECT_EQ(Pop3GetState(h), int32_t(cvmail::MailState::Idle));
  char text[kPop3ResultStringSize];
  EXPECT_EQ(Pop3GetResultString(h, text), 11);
  EXPECT_STREQ(text, "slow server");
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(Pop3GetResultString(h, text), 4);
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SessionOpsTest, WindowConnectToAClosedPortReportsTheFailure) {
  HostWindow window;
  int port = 0;
  {
    cvtest::ScriptServer unused;
    port = unused.port();
  }
  const LibHandle h = Pop3Connect("127.0.0.1", uint32_t(port), 5, 0, nullptr, window.hwnd(), HostWindow::kMessage);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_TRUE(PumpUntil([&] { return window.Count(cvmail::kMailEventConnect) > 0; }, 5000));
  EXPECT_EQ(window.deliveries.back().error, 10061u);
  EXPECT_EQ(Pop3GetState(h), -1);  // the session is gone
}

TEST_F(SessionOpsTest, WindowAndMessageChecksAllocateNothing) {
  HostWindow window;
  HostWindow gone;
  const HWND stale = gone.hwnd();
  plat::DestroyWindow(stale);
  struct Case {
    HWND window;
    UINT message;
  } cases[] = {
      {window.hwnd(), 1023}, {stale, HostWindow::kMessage}, {reinterpret_cast<HWND>(0x1234), HostWindow::kMessage}};
  for (const Case& c : cases) {
    EXPECT_EQ(Pop3Connect("127.0.0.1", 110, 5, 0, nullptr, c.window, c.message), kInvalidLibHandle);
    EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  }
}

TEST_F(SessionOpsTest, RawReadsWritesTimeoutsAndState) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("HELLO raw").Send("+OK one\r\n").Expect("LIST").Send("+OK\r\n1 10\r\n.\r\n")
      .Expect("QUIT").Reply("+OK");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  char buffer[64];
  EXPECT_EQ(Pop3Read(h, buffer, 0), 0);
  EXPECT_EQ(Pop3Read(h, buffer, -1), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(Pop3Write(h, nullptr, 3), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(Pop3GetResultString(h, nullptr), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);

  EXPECT_EQ(Pop3Write(h, "HELLO raw\r\n", 11), 11);
  EXPECT_EQ(Pop3GetState(h), int32_t(cvmail::MailState::Idle));
  EXPECT_EQ(Pop3IsReadable(h), 1);
  const int32_t n = Pop3Read(h, buffer, sizeof buffer);  // one status line
  EXPECT_EQ(std::string(buffer, size_t(std::max(n, 0))), "+OK one\r\n");
  EXPECT_EQ(Pop3IsReadable(h), 0);
  EXPECT_EQ(Pop3IsWritable(h), 1);

  // A command's multi-line answer: writes are refused until its end line is read.
  ASSERT_EQ(Pop3SendCommand(h, "LIST", nullptr), 1);
  ASSERT_EQ(Pop3BeginMultiLine(h), 0);
  EXPECT_EQ(Pop3Write(h, "X\r\n", 3), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationInProgress);
  std::string listing;
  int32_t got = 0;
  while ((got = Pop3Read(h, buffer, 4)) > 0) listing.append(buffer, size_t(got));
  EXPECT_EQ(got, 0);
  EXPECT_EQ(listing, "1 10\r\n");

  EXPECT_EQ(Pop3GetTimeout(h), 5);
  EXPECT_EQ(Pop3SetTimeout(h, 3600), 0);
  EXPECT_EQ(Pop3GetTimeout(h), 600);
  EXPECT_EQ(Pop3IsBlocked(h), 0);
  EXPECT_EQ(Pop3IsBlocked(h + 77), 0);
  EXPECT_EQ(Pop3GetState(h + 77), -1);
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SessionOpsTest, CancelFromAnotherThreadEndsABlockedRead) {
  HostWindow window;
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Sleep(2s);
  const LibHandle h = Connect(server, 0, 20);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3RegisterEvents(h, window.hwnd(), HostWindow::kMessage, 176), 0);
  EXPECT_EQ(Pop3Cancel(kInvalidLibHandle), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationNotBlocking);
  std::atomic<bool> sawBlocked{false};
  std::thread watcher([&] {
    for (int i = 0; i < 200 && Pop3IsBlocked(h) == 0; ++i) std::this_thread::sleep_for(5ms);
    sawBlocked = Pop3IsBlocked(h) == 1;
    Pop3Cancel(h);
  });
  char buffer[16];
  EXPECT_EQ(Pop3Read(h, buffer, sizeof buffer), -1);
  watcher.join();
  EXPECT_TRUE(sawBlocked);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationCanceled);
  EXPECT_EQ(window.Count(cvmail::kMailEventCancel), 1u);
  Pop3Disconnect(h);
}

TEST_F(SessionOpsTest, LocalAddressOfTheConnectionOrOfTheHost) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("QUIT").Reply("+OK");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  SockAddress address{};
  uint32_t port = 0;
  EXPECT_EQ(Pop3GetLocalAddress(h, 0, &address, &port), 2);
  EXPECT_EQ(std::memcmp(address.address, "\x7f\x00\x00\x01", 4), 0);
  EXPECT_NE(port, 0u);
  EXPECT_NE(port, uint32_t(server.port()));
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();

  // No session: the first IPv4 address of the local host name.
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name), 0);
  addrinfo hints{}, *list = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) GTEST_SKIP() << "the host name has no IPv4 address here";
  const auto* first = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  EXPECT_EQ(Pop3GetLocalAddress(kInvalidLibHandle, 0, &address, &port), 2);
  EXPECT_EQ(std::memcmp(address.address, &first->sin_addr, 4), 0);
  EXPECT_EQ(port, 0u);
  freeaddrinfo(list);
}

class SubmitTest : public Pop3Test {};

TEST_F(SubmitTest, TheTextIsDotStuffedWithCrLfLineEndsInPiecesWithProgress) {
  HostWindow window;
  // A "." line inside the text must not end the submission: the "DELE 1" after it would
  // run as a command. Bare LF and lone CR line ends go out as CR LF.
  std::string text = "Subject: x\n\n.dot\n.\nDELE 1\r.\r\n";
  for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i) + std::string(40, 'y') + "\n";
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("XTND XMIT").Reply("+OK send it").Expect("Subject: x").Expect("").Expect("..dot")
      .Expect("..").Expect("DELE 1").Expect("..");
  for (int i = 0; i < 300; ++i) server.Expect("line " + std::to_string(i) + std::string(40, 'y'));
  server.Expect(".").Reply("+OK queued as 42").Expect("QUIT").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3RegisterEvents(h, window.hwnd(), HostWindow::kMessage, 0xF0), 0);
  ASSERT_EQ(Pop3SendMessage(h, text.c_str(), 0), 0) << std::hex << Pop3GetLastError();
  EXPECT_EQ(window.Count(cvmail::kMailEventProgress), (text.size() + 4095) / 4096);
  EXPECT_EQ(Pop3ReadReply(h), 1);
  char reply[kPop3ResultStringSize];
  Pop3GetResultString(h, reply);
  EXPECT_STREQ(reply, "queued as 42");
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SubmitTest, ARefusalSendsNoTextAndIsAnError) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("XTND XMIT").Reply("-ERR unknown command").Expect("NOOP").Reply("+OK").Expect("QUIT")
      .Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3SendMessage(h, "QUIT\r\n", 0), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationNotSupported);
  EXPECT_EQ(Pop3SendMessage(h, nullptr, 0), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  // The session goes on: the text's "QUIT" line never reached the server.
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SubmitTest, ARejectedMessageLeavesTheStatusToRead) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("XTND XMIT").Reply("+OK").Expect("hi").Expect(".").Reply("-ERR too big")
      .Expect("QUIT").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3SendMessage(h, "hi\r\nignored", 4), 0);
  EXPECT_EQ(Pop3ReadReply(h), 0);
  char reply[kPop3ResultStringSize];
  Pop3GetResultString(h, reply);
  EXPECT_STREQ(reply, "too big");
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

}  // namespace
}  // namespace pop3test
