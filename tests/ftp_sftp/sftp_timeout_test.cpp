// SFTP connects to a server that accepts the connection and never says a word: the
// connect ends with the time-out error once the Timeout has passed (once, not twice),
// and a Timeout of 0 means the session's default, not waiting for ever.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "ftp/ftp.h"
#include "platform/base/tick.h"

namespace {

// A listener whose connections the kernel completes and nobody ever answers.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    url_ = "sftp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  }
  ~SilentServer() { close(fd_); }
  const char* url() const { return url_.c_str(); }

 private:
  int fd_;
  std::string url_;
};

class SftpTimeout : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(FtpAttach(nullptr), 1); }
  void TearDown() override { FtpDetach(); }
  SilentServer server;
};

TEST_F(SftpTimeout, ATimedOutConnectLastsTheTimeoutOnce) {
  const uint32_t start = plat::GetTickCount();
  EXPECT_EQ(FtpConnect(server.url(), 0, "u", "p", 3, 0, nullptr), kInvalidLibHandle);
  const uint32_t elapsed = plat::GetTickCount() - start;
  EXPECT_EQ(FtpGetLastError(), cvErrorOperationTimeout);
  EXPECT_GE(elapsed, 2900u);
  EXPECT_LT(elapsed, 6000u) << "twice the Timeout";
}

TEST_F(SftpTimeout, ZeroTimeoutIsTheSessionsDefaultNotForEver) {
  // The session's default is 20 seconds: the connect ends with the time-out then.
  const uint32_t start = plat::GetTickCount();
  EXPECT_EQ(FtpConnect(server.url(), 0, "u", "p", 0, 0, nullptr), kInvalidLibHandle);
  EXPECT_EQ(FtpGetLastError(), cvErrorOperationTimeout);
  EXPECT_LT(plat::GetTickCount() - start, 41000u);
}

}  // namespace
