// IDLE against a scripted server: the capability check, updates reaching the callback on
// the IDLE thread, no new IDLE from inside the callback, a command ending IDLE with DONE
// first, and the waiting form's time-out.
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/errors/error_codes.h"
#include "imap_test_support.h"

namespace imaptest {
namespace {

using namespace std::chrono_literals;

struct Update {
  uint32_t type;
  uint32_t number;
  bool operator==(const Update&) const = default;
};

struct Recorder {
  std::mutex m;
  std::vector<Update> updates;
  uint32_t restartError = 0;
  size_t Size() {
    std::lock_guard lock(m);
    return updates.size();
  }
};

void Record(LibHandle handle, uint32_t type, uint32_t number, uintptr_t user) {
  auto* r = reinterpret_cast<Recorder*>(user);
  uint32_t restart = 0;
  if (ImapIdle(handle, 0, mailIdleNoWait, user) == -1) restart = ImapGetLastError();
  std::lock_guard lock(r->m);
  r->updates.push_back({type, number});
  r->restartError = restart;
}

class ImapIdleTest : public ImapTest {};

TEST_F(ImapIdleTest, WithoutTheCapabilityNothingIsSent) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server, 3, "IMAP4rev1").Expect("A0005 NOOP").Reply("A0005 OK");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  EXPECT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), -1);
  EXPECT_EQ(ImapGetLastError(), 0x8004302Au);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapIdleTest, UpdatesReachTheCallbackAndACommandEndsIdle) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 IDLE")
      .Reply("+ idling")
      .Reply("* 5 EXISTS")
      .Reply("* 3 EXPUNGE")
      .Reply("* 2 RECENT")
      .Reply("* OK still here")
      .Reply("* 7 FETCH (FLAGS (\\Seen))")
      .Expect("DONE")
      .Reply("* 6 EXISTS")
      .Reply("A0005 OK IDLE terminated")
      .Expect("A0006 NOOP")
      .Reply("A0006 OK")
      .Expect("A0007 IDLE")
      .Reply("+ idling")
      .Expect("DONE")
      .Reply("A0007 OK IDLE terminated");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  Recorder recorder;
  ASSERT_EQ(ImapSetUpdateCallback(h, Record), 0);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, uintptr_t(&recorder)), 0) << std::hex << ImapGetLastError();
  for (int i = 0; i < 500 && recorder.Size() < 4; ++i) std::this_thread::sleep_for(10ms);
  {
    std::lock_guard lock(recorder.m);
    const std::vector<Update> expected = {{mailUpdateMessage, 5}, {mailUpdateExpunge, 3}, {mailUpdateMailbox, 0},
                                          {mailUpdateUnknown, 7}};
    EXPECT_EQ(recorder.updates, expected);
    EXPECT_EQ(recorder.restartError, 0x80043035u);  // no new IDLE from inside the callback
  }
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(ImapGetMessageCount(h), 6);  // what came with the completion is counted

  // The waiting form gives up after its time-out and ends IDLE with DONE.
  EXPECT_EQ(ImapIdle(h, 1, mailIdleWait, uintptr_t(&recorder)), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorOperationTimeout);
  EXPECT_EQ(ImapGetSession(h)->idleThread.load(), 0u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapIdleTest, CancelEndsAWaitingIdle) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 IDLE")
      .Reply("+ idling")
      .Expect("DONE")
      .Reply("A0005 OK IDLE terminated")
      .Expect("A0006 NOOP")
      .Reply("A0006 OK");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  std::thread canceler([h] {
    std::this_thread::sleep_for(300ms);
    ImapCancel(h);
  });
  EXPECT_EQ(ImapIdle(h, 0, mailIdleWait, 0), -1);
  canceler.join();
  EXPECT_EQ(ImapGetLastError(), cvErrorOperationCanceled);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapIdleTest, DisconnectWhileIdleRuns) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 IDLE")
      .Reply("+ idling")
      .Expect("DONE")
      .Reply("A0005 OK IDLE terminated")
      .Expect("A0006 CLOSE")
      .Reply("A0006 OK")
      .Expect("A0007 LOGOUT")
      .Reply("* BYE bye")
      .Reply("A0007 OK");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_EQ(ImapDisconnect(h), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(ImapGetSession(h), nullptr);
}

// The first command after an IDLE that returned at once may be one that reads its own
// untagged responses: ending IDLE on its way must not take its mode from it.
TEST_F(ImapIdleTest, FetchesRightAfterANonWaitingIdle) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 IDLE")
      .Reply("+ idling")
      .Expect("DONE")
      .Reply("* 4 EXISTS")
      .Reply("A0005 OK IDLE terminated")
      .Expect("A0006 FETCH 2 (FLAGS UID RFC822.SIZE BODY[])")
      .Reply("* 2 FETCH (FLAGS (\\Seen) UID 12 RFC822.SIZE 5 BODY[] {5}")
      .Send("hello")
      .Reply(")")
      .Reply("A0006 OK done")
      .Expect("A0007 IDLE")
      .Reply("+ idling")
      .Expect("DONE")
      .Reply("A0007 OK IDLE terminated")
      .Expect("A0008 FETCH 3 (UID)")
      .Reply("* 3 FETCH (UID 13)")
      .Reply("A0008 OK done")
      .Expect("A0009 IDLE")
      .Reply("+ idling")
      .Expect("DONE")
      .Reply("A0009 OK IDLE terminated")
      .Expect("A0010 SEARCH ALL")
      .Reply("* SEARCH 1 2 3 4")
      .Reply("A0010 OK done");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_EQ(Retrieve(h, 2), "hello") << std::hex << ImapGetLastError();
  EXPECT_EQ(ImapGetMessageCount(h), 4);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_EQ(ImapGetMessageUid(h, 3), 13) << std::hex << ImapGetLastError();
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_EQ(ImapSearchMailbox(h, "ALL", nullptr, nullptr, 0), 4) << std::hex << ImapGetLastError();
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapIdleTest, TheOwnerReadsCountsAndTextWhileTheIdleThreadUpdatesThem) {
  // Run under ThreadSanitizer this shows the IDLE thread's writes and the owner's reads
  // share no unguarded field; without it, every text read must be one whole response.
  constexpr int kUpdates = 300;
  std::string burst;
  for (int i = 1; i <= kUpdates; ++i)
    burst += "* " + std::to_string(i) + " EXISTS\r\n* OK [ALERT] text of update " + std::to_string(i) + "\r\n";
  cvtest::ScriptServer server;
  // The mailbox starts empty, so the burst's counts only grow.
  GreetLoginSelect(server, 0)
      .Expect("A0005 IDLE")
      .Reply("+ idling")
      .SendPieces(burst, 97, 1ms)
      .Expect("DONE")
      .Reply("A0005 OK IDLE terminated");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  Recorder recorder;
  ASSERT_EQ(ImapSetUpdateCallback(h, [](LibHandle, uint32_t type, uint32_t number, uintptr_t user) {
              auto* r = reinterpret_cast<Recorder*>(user);
              std::lock_guard lock(r->m);
              r->updates.push_back({type, number});
            }), 0);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, uintptr_t(&recorder)), 0) << std::hex << ImapGetLastError();
  int32_t last = 0;
  for (int spins = 0; spins < 100000 && recorder.Size() < size_t(kUpdates); ++spins) {
    const int32_t count = ImapGetMessageCount(h);
    EXPECT_GE(count, last);  // the count only grows
    last = count;
    const std::string text = ImapGetResponseText(h);
    EXPECT_TRUE(text.empty() || text == "idling" || text.rfind("[ALERT] text of update ", 0) == 0) << text;
    std::this_thread::yield();
  }
  for (int i = 0; i < 1000 && recorder.Size() < size_t(kUpdates); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(recorder.Size(), size_t(kUpdates));
  EXPECT_EQ(ImapEndIdle(h), int32_t(kImapResponseOk));
  EXPECT_EQ(ImapGetMessageCount(h), kUpdates);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

}  // namespace
}  // namespace imaptest
