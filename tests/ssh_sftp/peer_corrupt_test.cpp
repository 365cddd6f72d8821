// A download from sshd through a relay that corrupts one byte of the server's stream: the
// channel window may have been reopened for the packet it lands in before the packet was
// checked, and the transfer must still fail rather than report a file it did not get.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "sftp_sshd.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_session.h"

namespace {

// Relays one connection on loopback to the server and inverts one bit of the server's
// stream at byte `at`.
class FlippingRelay {
 public:
  FlippingRelay(const std::string& address, int port, size_t at) : at_(at) {
    const bool v6 = address.find(':') != std::string::npos;
    family_ = v6 ? AF_INET6 : AF_INET;
    Fill(address, port, &server_);
    sockaddr_storage local{};
    Fill(address, 0, &local);
    listener_ = socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    listen(listener_, 1);
    socklen_t n = sizeof local;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &n);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FlippingRelay() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  FlippingRelay(const FlippingRelay&) = delete;
  FlippingRelay& operator=(const FlippingRelay&) = delete;
  int port() const { return port_; }

 private:
  void Fill(const std::string& address, int port, sockaddr_storage* a) const {
    if (family_ == AF_INET6) {
      auto* in = reinterpret_cast<sockaddr_in6*>(a);
      in->sin6_family = AF_INET6;
      in->sin6_port = htons(uint16_t(port));
      inet_pton(AF_INET6, address.c_str(), &in->sin6_addr);
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(a);
      in->sin_family = AF_INET;
      in->sin_port = htons(uint16_t(port));
      inet_pton(AF_INET, address.c_str(), &in->sin_addr);
    }
  }
  static bool WriteAll(int fd, const char* bytes, ssize_t n) {
    while (n > 0) {
      const ssize_t w = send(fd, bytes, size_t(n), MSG_NOSIGNAL);
      if (w <= 0) return false;
      bytes += w;
      n -= w;
    }
    return true;
  }
  void Run() {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    const int server = socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client >= 0 && connect(server, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) == 0) {
      size_t fromServer = 0;
      char buffer[65536];
      for (bool open = true; open && !stop_;) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2 && open; ++i) {
          if (!fds[i].revents) continue;
          const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
          if (n <= 0) {
            open = false;
            break;
          }
          if (fds[i].fd == server) {
            if (at_ >= fromServer && at_ < fromServer + size_t(n)) buffer[at_ - fromServer] ^= 0x10;
            fromServer += size_t(n);
          }
          open = WriteAll(fds[i].fd == server ? client : server, buffer, n);
        }
      }
    }
    if (client >= 0) close(client);
    close(server);
  }

  size_t at_;
  int family_ = AF_INET;
  sockaddr_storage server_{};
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct SshLayer {
  SshLayer() {
    plat::WSADATA data;
    SockStartup(&data);
    SshInitialize();
  }
  ~SshLayer() {
    SshUninitialize();
    SockCleanup();
  }
};

TEST(SftpCorruptedStream, OneCorruptByteFailsTheDownload) {
  SshLayer layer;
  sftptest::SftpSshd server(
      {.externalServer = false, .authorizedKeys = "", .extraConfig = "Ciphers aes128-ctr\nMACs hmac-sha2-256\n"});
  START_SFTP_SSHD(server);
  const std::string remote = server.files() / "c.bin", local = server.files() / "down.bin";
  sftptest::WriteFile(remote, sftptest::Pattern(4 << 20));
  // Well past the log-in: inside the file's data packets.
  FlippingRelay relay(server.peer().address(), server.peer().port(), 2 << 20);
  uint32_t error = 1;
  SshSession* s = SftpConnect(server.peer().address().c_str(), relay.port(), sftptest::kUser, sftptest::kPassword, 10,
                              0, nullptr, &error);
  ASSERT_NE(s, nullptr) << std::hex << error;
  EXPECT_EQ(SftpRetrieveFile(s, local.c_str(), remote.c_str(), 0, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorConnectionClosed);
  EXPECT_FALSE(SshIsConnected(s));
  SftpDisconnect(s);
}

}  // namespace
