// The SSH-layer lock between threads: a thread waiting for its own network leaves the lock
// to the others, and an owner that cannot get it hands its session over instead of
// closing it without the lock.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "scripted_server.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_channel.h"

namespace {

// The layer is initialised (lock and sockets) for each test.
class LayerLock : public ::testing::Test {
 protected:
  void SetUp() override { SshInitialize(); }
  void TearDown() override { SshUninitialize(); }
};

void WaitFor(const std::atomic<int>& stage, int value) {
  while (stage.load() != value) std::this_thread::yield();
}

TEST_F(LayerLock, AWaitForTheNetworkLeavesTheLockToOtherThreads) {
  sftptest::ScriptedSession session;  // its reply never comes
  session.s->timeout = 3;
  std::atomic<int> stage{0};
  std::thread reader([&] {
    SshLock();
    stage = 1;
    uint8_t byte;
    SftpChannelRead(session.s, &byte, 1);
    SshUnlock();
  });
  WaitFor(stage, 1);
  // Held for the whole wait, the lock would keep this thread out for three seconds.
  EXPECT_EQ(SshTryLock(), 1);
  SshUnlock();
  reader.join();
}

TEST_F(LayerLock, ASessionItsOwnerCannotCloseIsShutThenClosedByTheNextHolder) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  RandomAcquire();
  auto* s = new SshSession();
  s->socket = SshRegisterSocket(SOCKET(pair[0]), s);

  std::atomic<int> stage{0};
  std::thread holder([&] {
    SshLock();
    stage = 1;
    WaitFor(stage, 2);
    SshUnlock();
  });
  WaitFor(stage, 1);
  ASSERT_EQ(SshTryLock(), 0);
  SftpDeferDisconnect(s);
  // The server sees the connection end at once...
  char byte;
  EXPECT_EQ(recv(pair[1], &byte, 1, 0), 0);
  EXPECT_NE(fcntl(pair[0], F_GETFD), -1) << "closed without the lock";
  stage = 2;
  holder.join();
  // ...and the next holder of the lock closes the session.
  SshLock();
  SshUnlock();
  EXPECT_EQ(fcntl(pair[0], F_GETFD), -1);
  close(pair[1]);
}

}  // namespace
