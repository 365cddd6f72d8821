// SFTP sessions of many threads at once against one sshd: every thread connects, gets a
// file, puts it back under another name and gets that again, in rounds; each session's
// data must stay its own (run under the sanitizers, this is the race detector's test).
// And a session closed on one thread while another waits on a server that never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "ftp/ftp.h"
#include "sftp_sshd.h"

namespace {

using sftptest::Pattern;
using sftptest::ReadFile;
using sftptest::WriteFile;

constexpr int kThreads = 32;
constexpr int kRounds = 3;
constexpr size_t kFileSize = 192 * 1024 + 11;

std::string Url(sftptest::SftpSshd& server) {
  return "sftp://" + server.peer().address() + ":" + std::to_string(server.peer().port());
}

// One thread's work; an empty text when every round went through.
std::string RunRounds(sftptest::SftpSshd& server, int index) {
  const std::string dir = server.files().path().string();
  const std::string name = "t" + std::to_string(index);
  for (int round = 0; round < kRounds; ++round) {
    LibHandle h = FtpConnect(Url(server).c_str(), 0, sftptest::kUser, sftptest::kPassword, 60, 0, nullptr);
    if (h == kInvalidLibHandle) return "connect " + std::to_string(FtpGetLastError());
    std::string failure;
    const std::string local = dir + "/" + name + ".got", back = name + ".back";
    if (FtpChangeDirectory(h, dir.c_str()) != 0) failure = "cd";
    else if (FtpRetrieveFile(h, local.c_str(), (name + ".src").c_str(), 0, 0) != 0)
      failure = "get " + std::to_string(FtpGetLastError());
    else if (FtpStoreFile(h, local.c_str(), back.c_str(), 0, 0) != 0)
      failure = "put " + std::to_string(FtpGetLastError());
    else if (FtpRetrieveFile(h, local.c_str(), back.c_str(), 0, 0) != 0)
      failure = "get back " + std::to_string(FtpGetLastError());
    else if (ReadFile(local) != Pattern(kFileSize, uint32_t(index + 1))) failure = "data differs";
    FtpDisconnect(h);
    if (!failure.empty()) return "round " + std::to_string(round) + ": " + failure;
  }
  return {};
}

TEST(FtpSftpThreads, ManySessionsOnManyThreadsKeepTheirOwnData) {
  ASSERT_GE(FtpAttach(nullptr), 1);
  // Every session of every thread at once: sshd must not drop connections it has not
  // authenticated yet.
  sftptest::SshdOptions options;
  options.extraConfig = "MaxStartups 200\nMaxSessions 200\n";
  sftptest::SftpSshd server(options);
  START_SFTP_SSHD(server);
  for (int i = 0; i < kThreads; ++i)
    WriteFile(server.files() / ("t" + std::to_string(i) + ".src"), Pattern(kFileSize, uint32_t(i + 1)));
  std::vector<std::string> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { results[size_t(i)] = RunRounds(server, i); });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(results[size_t(i)], "") << "thread " << i;
  FtpDetach();
}

// Connections the kernel completes and nobody answers.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 4);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
};

TEST(FtpSftpThreads, DisconnectWhileAnotherThreadConnectsToASilentServer) {
  ASSERT_GE(FtpAttach(nullptr), 1);
  sftptest::SftpSshd server;
  START_SFTP_SSHD(server);
  SilentListener silent;
  std::atomic<bool> waiting{false};
  uint32_t silentError = 0;
  std::thread connector([&] {
    waiting = true;
    const std::string url = "sftp://127.0.0.1:" + std::to_string(silent.port());
    EXPECT_EQ(FtpConnect(url.c_str(), 0, "u", "p", 8, 0, nullptr), kInvalidLibHandle);
    silentError = FtpGetLastError();
  });
  while (!waiting) std::this_thread::yield();
  for (int i = 0; i < 3; ++i) {
    LibHandle h = FtpConnect(Url(server).c_str(), 0, sftptest::kUser, sftptest::kPassword, 30, 0, nullptr);
    ASSERT_NE(h, kInvalidLibHandle) << std::hex << FtpGetLastError();
    char cwd[1024];
    EXPECT_EQ(FtpGetWorkingDirectory(h, cwd, sizeof cwd), 0);
    EXPECT_EQ(FtpDisconnect(h), 0);
  }
  connector.join();
  EXPECT_EQ(silentError, cvErrorOperationTimeout);
  FtpDetach();
}

}  // namespace
