// The SOCKS server of a dynamic forwarding, on an offline SSH-2 session: each request's
// reply to the local client and the "direct-tcpip" channel it opens (or the refusal and
// close when it opens none).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "extra_test_util.h"
#include "ssh/forward/port_forward.h"
#include "ssh/proto/channel.h"
#include "ssh_proto/ssh_test_util.h"

namespace {

struct Case {
  const char* name;
  std::string request;
  std::string reply;
  bool closes;
  std::string host;  // of the channel opened; empty: none
  uint32_t port;
};

TEST(DynamicForwarding, SocksRequestsOpenChannelsOrAreRefused) {
  const Case cases[] = {
      {"SOCKS 4 address", std::string("\x04\x01\x00\x50\x0a\x00\x00\x01" "user\0", 13),
       std::string("\x00\x5a\x00\x50\x0a\x00\x00\x01", 8), false, "10.0.0.1", 80},
      {"SOCKS 4A name", std::string("\x04\x01\x00\x16\x00\x00\x00\x07" "u\0far.example\0", 22),
       std::string("\x00\x5a\x00\x16\x00\x00\x00\x07", 8), false, "far.example", 22},
      {"SOCKS 4 bind", std::string("\x04\x02", 2), std::string("\x00\x5b\0\0\0\0\0\0", 8), true, "", 0},
      {"SOCKS 5 name", std::string("\x05\x01\x00\x05\x01\x00\x03\x03" "abc\x01\xbb", 13),
       std::string("\x05\x00\x05\x00\x00\x01\0\0\0\0\0\0", 12), false, "abc", 443},
      {"SOCKS 5 only method 2", std::string("\x05\x01\x02", 3), std::string("\x05\xff", 2), false, "", 0},
      {"SOCKS 5 IPv6", std::string("\x05\x01\x00\x05\x01\x00\x04", 7) + std::string(16, '\x01') + std::string("\x00\x16", 2),
       std::string("\x05\x00\x05\x08\x00\x01\0\0\0\0\0\0", 12), true, "", 0},
      {"unknown version", std::string("\x06", 1), "", true, "", 0},
  };
  for (const Case& c : cases) {
    sshtest::CaptureSocket capture;
    SshSession* session = sshtest::NewOfflineSession(&capture);
    session->protocolVersion = 2;
    session->timeout = 1;  // each pump waits at most a second
    SshSocket* listener = nullptr;
    int port = 0;
    for (int p = 20000 + getpid() % 20000; p < 60000 && !listener; p += 7) {
      if (PortForwardListen(nullptr, -1, "127.0.0.1", p, session, &session->settings, &listener, 1) == 0) port = p;
    }
    ASSERT_NE(listener, nullptr);

    std::atomic<bool> done{false};
    std::string reply;
    bool closed = false;
    std::thread client([&] {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(uint16_t(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      timeval limit{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL);
        char buffer[64];
        while (reply.size() < c.reply.size()) {
          ssize_t n = recv(fd, buffer, sizeof buffer, 0);
          if (n <= 0) break;
          reply.append(buffer, size_t(n));
        }
        if (c.closes) closed = recv(fd, buffer, sizeof buffer, 0) == 0;
      }
      close(fd);
      done = true;
    });
    uint32_t start = plat::GetTickCount();
    while (!done && plat::GetTickCount() - start < 5000) SshPumpEvents(session);
    client.join();
    EXPECT_EQ(reply, c.reply) << c.name;
    if (c.closes) {
      EXPECT_TRUE(closed) << c.name;
    }
    std::vector<std::string> payloads = sshtest::PlainPayloads(capture.written);
    if (c.host.empty()) {
      EXPECT_TRUE(payloads.empty()) << c.name;
    } else {
      ASSERT_EQ(payloads.size(), 1u) << c.name;
      std::string open = "\x5a" + sshtest::Str("direct-tcpip") + sshtest::U32(256) + sshtest::U32(16384) +
                         sshtest::U32(16384) + sshtest::Str(c.host) + sshtest::U32(c.port);
      EXPECT_EQ(payloads[0].substr(0, open.size()), open) << c.name;
    }
    PortForwardClose(listener);
    session->socket = nullptr;
    SshSessionFree(session);
  }
}

}  // namespace
