#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/script_server.h"

namespace {

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(uint16_t(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, size_t(n));
  return out;
}

TEST(ScriptServer, PlaysScriptAndRecordsMismatch) {
  cvtest::ScriptServer server;
  server.Reply("220 hello").Expect("USER joe").SendPieces("331 pass\r\n", 3, std::chrono::milliseconds(1))
      .Expect("PASS x");
  server.Start();
  int fd = ConnectLoopback(server.port());
  ASSERT_GE(fd, 0);
  const char out[] = "USER joe\r\nPASS y\r\n";
  ASSERT_EQ(::send(fd, out, sizeof out - 1, 0), ssize_t(sizeof out - 1));
  EXPECT_FALSE(server.Finish());
  EXPECT_EQ(server.failure(), "expected \"PASS x\", got \"PASS y\"");
  ::shutdown(fd, SHUT_WR);
  EXPECT_EQ(ReadAll(fd), "220 hello\r\n331 pass\r\n");
  ::close(fd);
}

}  // namespace
