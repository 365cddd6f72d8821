#pragma once
// Shared set-up of the transfer tests: a scripted server with a data port the test plays
// the server's side of, sessions logged in without server queries, and an event recorder.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/errors/error_codes.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "support/script_server.h"

namespace xfer {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

inline constexpr LibHandle kNone = kInvalidLibHandle;
using cvftp::kOptNoLogin;
using cvftp::kOptNoServerQueries;

// Records (event, error) pairs delivered to a session's callbacks.
struct EventLog {
  std::vector<std::pair<uint32_t, uint32_t>> events;
  static void Record(LibHandle, uint32_t event, uint32_t error, uintptr_t parameter) {
    reinterpret_cast<EventLog*>(parameter)->events.emplace_back(event, error);
  }
  void Attach(LibHandle h) {
    FtpSession* s = FtpGetSession(h);
    ASSERT_NE(s, nullptr);
    s->notify.eventMask = 0xFFFFFFFF;
    for (int i = 0; i < kFtpEventCount; ++i) {
      s->notify.callbacks[i] = &Record;
      s->notify.parameters[i] = reinterpret_cast<uintptr_t>(this);
    }
  }
  int Count(uint32_t event) const {
    int n = 0;
    for (auto& e : events) n += e.first == event;
    return n;
  }
};

// The server side of one data connection, played inside the script's Call steps.
struct DataPort {
  int listener = -1;
  int port = 0;
  std::string received;
  ~DataPort() {
    if (listener >= 0) ::close(listener);
  }
};

inline std::string PasvText(int port) {
  std::ostringstream o;
  o << "227 Entering Passive Mode (127,0,0,1," << (port >> 8) << "," << (port & 255) << ").";
  return o.str();
}

// Opens the data port and answers PASV with it (reply given by make, from the port).
inline ScriptServer& Pasv(ScriptServer& srv, DataPort& d, std::string (*make)(int) = &PasvText) {
  return srv.Expect("PASV").Call([&d, make](ScriptServer& s) {
    d.listener = s.OpenListener(&d.port);
    s.SendRaw(make(d.port) + "\r\n");
  });
}

// After the transfer command: 150, the data sent and closed, then the final reply.
inline ScriptServer& Serve(ScriptServer& srv, DataPort& d, std::string data, std::string final = "226 Done.",
                           bool reset = false) {
  return srv.Call([&d, data, final, reset](ScriptServer& s) {
    s.SendRaw("150 Opening data connection.\r\n");
    int c = ScriptServer::AcceptOne(d.listener, 5s);
    if (c < 0) return;
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = ::send(c, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += size_t(n);
    }
    if (reset) {
      linger l{1, 0};
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(c);
    if (!final.empty()) s.SendRaw(final + "\r\n");
  });
}

// After the transfer command: 150, everything the client sends until it closes, then 226.
inline ScriptServer& Receive(ScriptServer& srv, DataPort& d) {
  return srv.Call([&d](ScriptServer& s) {
    s.SendRaw("150 Ok to send data.\r\n");
    int c = ScriptServer::AcceptOne(d.listener, 5s);
    if (c < 0) return;
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      d.received.append(buf, size_t(n));
    }
    ::close(c);
    s.SendRaw("226 Transfer complete.\r\n");
  });
}

class XferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(FtpAttach(nullptr), 1);
    dir_ = std::filesystem::temp_directory_path() /
           ("cv-xfer-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    FtpDetach();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // The greeting and the login-free start (TYPE I) are scripted here; the session is
  // passive unless told otherwise.
  LibHandle Connect(ScriptServer& server, uint32_t timeout = 3, bool passive = true) {
    server.Start();
    LibHandle h = FtpConnect(server.address(), uint32_t(server.port()), nullptr, nullptr, timeout,
                             kOptNoServerQueries | kOptNoLogin | (passive ? 1u : 0u), nullptr);
    return h;
  }
  static ScriptServer& Greet(ScriptServer& srv) {
    return srv.Reply("220 Scripted.").Expect("PWD").Reply("257 \"/\"").Expect("TYPE I").Reply("200 Ok.");
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static void WriteLocal(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  static std::string ReadLocal(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static uint32_t LastError() { return FtpGetLastError(); }

  std::filesystem::path dir_;
  static inline std::atomic<int> counter_{0};
};

}  // namespace xfer
