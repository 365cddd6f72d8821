// Handles and blocking I/O on loopback: connect, listen, accept, line reads with CR/LF
// variants and long lines, line writes, resets, time-outs, cancel and abort.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/errors/error_codes.h"
#include "sockets_util.h"

using namespace socktest;
using namespace std::chrono_literals;

namespace {

class InetIo : public Attached {};

std::string Line(SOCKET h, uint32_t size = 1024, int32_t* result = nullptr) {
  std::string buf(size, '\0');
  uint32_t n = size;
  int32_t r = InetReadLine(h, buf.data(), &n);
  if (result) *result = r;
  return r ? std::string(buf.data(), n) : "<error>";
}

TEST_F(InetIo, LinesWithCrLfVariantsThenPlainReadsKeepTheRest) {
  Pair p;
  ASSERT_TRUE(p.Open());
  SendRaw(p.client, std::string("ab\r\ncd\nwith\0nul\r\r\n\nrest", 23));
  EXPECT_EQ(Line(p.accepted), "ab");
  EXPECT_EQ(Line(p.accepted), "cd");
  EXPECT_EQ(Line(p.accepted), "withnul");  // CR and NUL dropped
  EXPECT_EQ(Line(p.accepted), "");
  char buf[16] = {};
  EXPECT_EQ(InetRead(p.accepted, buf, sizeof buf), 4);  // from the line buffer
  EXPECT_STREQ(buf, "rest");
}

TEST_F(InetIo, LongLinesAreCutAndTheRestComesNext) {
  Pair p;
  ASSERT_TRUE(p.Open());
  std::string longLine(20000, 'x');  // longer than the 8,192-byte buffer
  SendRaw(p.client, "abcdefghij\n" + longLine + "\nend\n");
  EXPECT_EQ(Line(p.accepted, 5), "abcd");
  EXPECT_EQ(Line(p.accepted, 100), "efghij");
  EXPECT_EQ(Line(p.accepted, 30000), longLine);
  int32_t r = 0;
  EXPECT_EQ(Line(p.accepted, 1, &r), "");  // size 1: empty line at once
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Line(p.accepted), "end");
}

TEST_F(InetIo, PeerCloseEndsAPartialLineThenFails) {
  Pair p;
  ASSERT_TRUE(p.Open());
  SendRaw(p.client, "xy");
  ::shutdown(p.client, SHUT_WR);
  EXPECT_EQ(Line(p.accepted), "xy");
  int32_t r = 1;
  Line(p.accepted, 64, &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(InetGetLastError(), cvErrorConnectionClosed);
  EXPECT_EQ(InetIsClosed(p.accepted), 1);
}

TEST_F(InetIo, WriteLineSendsOneLineEnd) {
  Pair p;
  ASSERT_TRUE(p.Open());
  uint32_t sent = 0;
  struct Case {
    const char* text;
    const char* wire;
  } cases[] = {{"220 ready\r\n", "220 ready\r\n"}, {"bare\n", "bare\r\n"}, {"plain", "plain\r\n"}, {"", "\r\n"}};
  for (const Case& c : cases) {
    ASSERT_EQ(InetWriteLine(p.accepted, c.text, &sent), 1);
    EXPECT_EQ(sent, std::strlen(c.wire));
    EXPECT_EQ(RecvRaw(p.client, std::strlen(c.wire)), c.wire) << c.text;
  }
  std::string big(20000, 'y');
  ASSERT_EQ(InetWriteLine(p.accepted, big.c_str(), &sent), 1);
  EXPECT_EQ(RecvRaw(p.client, big.size() + 2), big + "\r\n");
}

TEST_F(InetIo, ResetIsAnErrorAndMarksTheHandleClosed) {
  Pair p;
  ASSERT_TRUE(p.Open());
  linger l{1, 0};
  ::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(p.client);
  p.client = -1;
  char buf[8];
  EXPECT_EQ(InetRead(p.accepted, buf, sizeof buf), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorConnectionReset);
  EXPECT_EQ(InetIsClosed(p.accepted), 1);
}

TEST_F(InetIo, BadArguments) {
  Pair p;
  ASSERT_TRUE(p.Open());
  char buf[4];
  uint32_t size = 0;
  EXPECT_EQ(InetRead(p.accepted, nullptr, 4), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(InetRead(p.accepted, buf, 0), -1);
  EXPECT_EQ(InetReadLine(p.accepted, buf, &size), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(InetIsClosed(12345678), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidHandle);
  SOCKET udp = InetCreateSocket(2, 2, 17);
  size = 4;
  EXPECT_EQ(InetReadLine(udp, buf, &size), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorProtocolNotSupported);
  EXPECT_EQ(InetDiscardInput(udp), -1);
  InetReleaseHandle(udp);
}

TEST_F(InetIo, TimeoutCancelAndAbortEndABlockedRead) {
  Pair p;
  ASSERT_TRUE(p.Open());
  InetLookupHandle(p.accepted)->timeout.store(1);
  char buf[8];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(InetRead(p.accepted, buf, sizeof buf), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorOperationTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);

  // A cancel from another thread ends the wait at once, not at the time-out.
  InetLookupHandle(p.accepted)->timeout.store(60);
  std::thread canceller([&] {
    Eventually([&] { return InetLookupHandleAnyThread(p.accepted)->busy.load() != 0; });
    EXPECT_EQ(InetCancel(p.accepted), 0);
  });
  EXPECT_EQ(InetRead(p.accepted, buf, sizeof buf), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorOperationCanceled);
  canceller.join();
  EXPECT_EQ(InetCancel(INVALID_SOCKET), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorOperationNotBlocking);

  // The next read works again after a cancel.
  SendRaw(p.client, "z");
  EXPECT_EQ(InetRead(p.accepted, buf, sizeof buf), 1);

  // An abort ends the wait and closes the handle (the peer sees a reset).
  std::thread aborter([&] {
    Eventually([&] { return InetLookupHandleAnyThread(p.accepted)->busy.load() != 0; });
    EXPECT_EQ(InetAbort(p.accepted), 0);
  });
  EXPECT_EQ(InetRead(p.accepted, buf, sizeof buf), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorConnectionAborted);
  aborter.join();
  EXPECT_EQ(InetLookupHandleAnyThread(p.accepted), nullptr);
  EXPECT_TRUE(PeerClosed(p.client));
  p.accepted = INVALID_SOCKET;

  EXPECT_EQ(InetAbort(INVALID_SOCKET), -1);  // no blocking call on this thread
  EXPECT_EQ(InetGetLastError(), cvErrorNotHandleOwner);
}

TEST_F(InetIo, DiscardInputDrainsWhatWaits) {
  Pair p;
  ASSERT_TRUE(p.Open());
  SendRaw(p.client, std::string(5000, 'q') + "\n");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(InetDiscardInput(p.accepted), 0);
  SendRaw(p.client, "after\n");
  EXPECT_EQ(Line(p.accepted), "after");
}

TEST_F(InetIo, ConnectAndAddresses) {
  SOCKET l = InetListen("127.0.0.1", 0, 5, 0);
  ASSERT_NE(l, INVALID_SOCKET);
  const uint32_t port = LocalPort(l);
  SOCKET c = InetConnect("127.0.0.1", port);
  ASSERT_NE(c, INVALID_SOCKET);
  SockAddress caller{};
  uint32_t callerPort = 0;
  // The caller of a queued connection is known before it is accepted...
  ASSERT_EQ(InetGetPeerAddress(l, &caller, &callerPort), 0);
  EXPECT_EQ(caller.family, 2u);
  EXPECT_EQ(callerPort, InetLookupHandle(c)->localPort);
  // ...and the accept still gets that connection.
  SOCKET a = InetAccept(l, 5000, 0x41, nullptr);
  ASSERT_NE(a, INVALID_SOCKET);
  EXPECT_EQ(InetLookupHandle(a)->options.load() & 0x41u, 0u);
  EXPECT_EQ(InetLookupHandle(a)->timeout.load(), 5u);  // 5,000 is taken as milliseconds
  uint32_t peerPort = 0;
  ASSERT_EQ(InetGetPeerAddress(a, nullptr, &peerPort), 0);
  EXPECT_EQ(peerPort, callerPort);
  SockAddress local{};
  EXPECT_EQ(InetGetLocalAddress(a, 0, &local), 2);
  EXPECT_EQ(InetGetLocalAddress(a, 23, &local), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorProtocolFamily);
  ASSERT_EQ(InetWriteLine(c, "hello", nullptr), 1);
  EXPECT_EQ(Line(a), "hello");
  EXPECT_EQ(InetDisconnect(c), 0);
  EXPECT_EQ(InetLookupHandle(c), nullptr);
  InetReleaseHandle(a);
  InetReleaseHandle(l);

  // Nothing listens on the port any more.
  EXPECT_EQ(InetConnect("127.0.0.1", port), INVALID_SOCKET);
  EXPECT_EQ(InetGetLastError(), cvErrorConnectionRefused);
  EXPECT_EQ(InetConnect("127.0.0.1", 0), INVALID_SOCKET);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidServicePort);
  EXPECT_EQ(InetConnect("", 80), INVALID_SOCKET);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidHostName);
}

TEST_F(InetIo, ListenOptionsAndRejects) {
  // Reserved ports: the highest free one below 1,024 (needs the right to bind them).
  SOCKET r = InetListen("127.0.0.1", 0, 0, kInetOptionReservedPort);
  if (r != INVALID_SOCKET) {
    EXPECT_LE(LocalPort(r), 1023u);
    EXPECT_GE(LocalPort(r), 513u);
    InetReleaseHandle(r);
  }
  SOCKET l = InetListen("::1", 0, 500, 0);
  if (l == INVALID_SOCKET) GTEST_SKIP() << "no IPv6 loopback";
  EXPECT_EQ(InetSetOption(l, kInetOptionBroadcast), 0);
  EXPECT_EQ(InetLookupHandle(l)->options.load() & kInetOptionBroadcast, 0u);
  EXPECT_EQ(InetSetOption(l, 0x100), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidOption);
  EXPECT_EQ(InetReject(l), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorOperationWouldBlock);
  int client = ConnectRaw(LocalPort(l), AF_INET6);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(Eventually([&] { return InetReject(l) == 1; }));
  EXPECT_TRUE(PeerClosed(client));
  ::close(client);
  EXPECT_EQ(InetAccept(l, 1, kInetOptionIPv6, nullptr), INVALID_SOCKET);  // times out
  EXPECT_EQ(InetGetLastError(), cvErrorOperationTimeout);
  InetReleaseHandle(l);

  SOCKET v4 = InetListen("127.0.0.1", 0, 5, 0);
  EXPECT_EQ(InetAccept(v4, 1, kInetOptionIPv6, nullptr), INVALID_SOCKET);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidOption);
  InetReleaseHandle(v4);
}

}  // namespace
