// Port and X11 forwarding through sshd: a local forwarding, a dynamic (SOCKS 5) one and
// a remote one each reach a socat echo server; an X11 client on the server reaches a
// fake display here with the authorisation replaced by an empty one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "peers/peer.h"
#include "session_client.h"

namespace {

using sshextra::ForwardingSshd;
using sshextra::SessionClient;

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

std::string ReadN(int fd, size_t n) {
  std::string out;
  char buffer[256];
  while (out.size() < n) {
    ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buffer, size_t(r));
  }
  return out;
}

void SendAll(int fd, const std::string& bytes) { send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// Sends text through a connection and reads its echo.
std::string Echo(int fd, const std::string& text) {
  SendAll(fd, text);
  return ReadN(fd, text.size());
}

TEST(ForwardingThroughSshd, LocalDynamicAndRemoteReachTheEchoServer) {
  ForwardingSshd sshd;
  START_FORWARDING_SSHD(sshd);
  cvpeers::PeerProcess echo({.program = "socat", .args = {"TCP4-LISTEN:{{PORT}},bind={{ADDR}},fork,reuseaddr", "PIPE"}});
  CV_START_PEER(echo);
  const int local = cvpeers::FreePort(), dynamic = cvpeers::FreePort(), remote = cvpeers::FreePort();
  const std::string e = std::to_string(echo.port());
  std::string list = "L" + std::to_string(local) + "\t127.0.0.1:" + e + '\0' + "D" + std::to_string(dynamic) + '\0' +
                     "R" + std::to_string(remote) + "\t127.0.0.1:" + e + '\0' + '\0';
  SessionClient client;
  std::memcpy(client.settings.PortForwards, list.data(), list.size());
  ASSERT_TRUE(client.Connect(sshd.peer().address(), sshd.peer().port()))
      << std::hex << SshGetLastError(client.session) << "\n" << sshd.peer().StderrText();

  std::atomic<bool> done{false};
  std::string viaLocal, socksMethod, socksReply, viaDynamic, viaRemote;
  std::thread user([&] {
    if (int fd = ConnectLoopback(local); fd >= 0) {
      viaLocal = Echo(fd, "through the local forwarding");
      close(fd);
    }
    if (int fd = ConnectLoopback(dynamic); fd >= 0) {
      SendAll(fd, std::string("\x05\x01\x00", 3));
      socksMethod = ReadN(fd, 2);
      std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
      request += char(echo.port() >> 8);
      request += char(echo.port() & 0xFF);
      SendAll(fd, request + "early ");  // bytes right behind the request wait for the channel
      socksReply = ReadN(fd, 10);
      viaDynamic = ReadN(fd, 6);
      viaDynamic += Echo(fd, "through SOCKS");
      close(fd);
    }
    // The server's listener exists once it has answered the forwarding request.
    for (int attempt = 0; attempt < 50 && viaRemote.empty(); ++attempt) {
      int fd = ConnectLoopback(remote);
      if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      viaRemote = Echo(fd, "through the remote forwarding");
      close(fd);
    }
    done = true;
  });
  client.Pump([&] { return done.load(); }, 40);
  user.join();
  EXPECT_EQ(viaLocal, "through the local forwarding");
  EXPECT_EQ(socksMethod, std::string("\x05\x00", 2));
  EXPECT_EQ(socksReply, std::string("\x05\x00\x00\x01\0\0\0\0\0\0", 10));
  EXPECT_EQ(viaDynamic, "early through SOCKS");
  EXPECT_EQ(viaRemote, "through the remote forwarding");
}

// A display on 127.0.0.1:6000+n that records the client's setup and answers it.
class FakeDisplay {
 public:
  FakeDisplay() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    for (number = 40 + getpid() % 200; number < 1000; ++number) {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(uint16_t(6000 + number));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
    }
    listen(fd_, 1);
    thread_ = std::thread([this] {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 30000) != 1) return;
      int c = accept(fd_, nullptr, nullptr);
      timeval limit{10, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      setup = ReadN(c, 12);
      if (setup.size() == 12) {
        size_t name = uint8_t(setup[6]) | uint8_t(setup[7]) << 8, data = uint8_t(setup[8]) | uint8_t(setup[9]) << 8;
        setup += ReadN(c, ((name + 3) & ~3u) + ((data + 3) & ~3u));
        SendAll(c, "display says hello\n");
      }
      ReadN(c, 1);
      close(c);
    });
  }
  ~FakeDisplay() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int number = 0;
  std::string setup;

 private:
  int fd_;
  std::thread thread_;
};

// Run on the server as the test user: connect to the forwarded display with the cookie
// sshd stored for it and print what the display answers.
constexpr const char* kX11Client = R"(import os, socket, struct, subprocess
d = os.environ['DISPLAY']
n = int(d.split(':')[1].split('.')[0])
entry = subprocess.run(['xauth', 'list', d], capture_output=True, text=True).stdout.split()
name, cookie = entry[1].encode(), bytes.fromhex(entry[2])
pad = lambda b: b + b'\0' * (-len(b) % 4)
s = socket.create_connection(('127.0.0.1', 6000 + n))
s.sendall(b'l\0' + struct.pack('<HHHH', 11, 0, len(name), len(cookie)) + b'\0\0' + pad(name) + pad(cookie))
print('X11 ' + s.recv(100).decode(), end='', flush=True)
)";

TEST(ForwardingThroughSshd, X11ChannelReachesTheLocalDisplayWithoutTheCookie) {
  ForwardingSshd sshd;
  START_FORWARDING_SSHD(sshd);
  if (cvpeers::FindProgram("xauth").empty() || cvpeers::FindProgram("python3").empty())
    GTEST_SKIP() << "xauth or python3 is not installed";
  cvpeers::TempDir scripts;
  std::filesystem::permissions(scripts.path(), std::filesystem::perms(0755));
  std::string script = scripts.Write("x11client.py", kX11Client).string();
  FakeDisplay display;
  SessionClient client;
  client.settings.X11Forward = 1;
  std::snprintf(client.settings.X11Display, sizeof client.settings.X11Display, "127.0.0.1:%d.0", display.number);
  std::snprintf(client.settings.RemoteCommand, sizeof client.settings.RemoteCommand, "python3 %s", script.c_str());
  client.settings.RemoteCommandIsSubsystem = 0;
  client.settings.FallbackCommand = nullptr;
  ASSERT_TRUE(client.Connect(sshd.peer().address(), sshd.peer().port()))
      << std::hex << SshGetLastError(client.session) << "\n" << sshd.peer().StderrText();
  EXPECT_EQ(client.session->x11Accepted, 1u);
  ASSERT_TRUE(client.Pump([&] { return client.received.find('\n') != std::string::npos; }, 20))
      << client.received << "\n" << sshd.peer().StderrText();
  EXPECT_EQ(client.received, "X11 display says hello\n");
  ASSERT_EQ(display.setup.size(), 12u);
  EXPECT_EQ(display.setup.substr(0, 6), std::string("l\0\x0b\0\0\0", 6));
  EXPECT_EQ(display.setup.substr(6, 4), std::string(4, '\0')) << "the display gets no authorisation";
}

}  // namespace
