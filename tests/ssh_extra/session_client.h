#pragma once
// An SSH session of the tests against sshd: connect with the test account, wait for the
// main channel, collect its data, and prove the SFTP subsystem answers.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "extra_test_util.h"
#include "platform/base/tick.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/session.h"
#include "ssh/util/alloc.h"
#include "sshd_peer.h"

namespace sshextra {

class SessionClient {
 public:
  SessionClient() {
    SshSettingsSetDefaults(&settings);
    std::strcpy(settings.UserName, kUser);
    std::strcpy(settings.Password, kPassword);
    settings.TimeoutSeconds = 10;
  }
  ~SessionClient() { SshSessionFree(session); }

  // Pumps the session until done() or the deadline; false on time-out or a closed session.
  bool Pump(const std::function<bool()>& done, uint32_t seconds = 20) {
    uint32_t start = plat::GetTickCount();
    while (!done()) {
      if (plat::GetTickCount() - start > seconds * 1000) return false;
      if (!SshIsConnected(session)) return done();
      SshPumpEvents(session);
    }
    return true;
  }

  bool Connect(const std::string& host, int port) {
    char* canonical = nullptr;
    uint32_t r = SshSessionCreate(&session, &settings, host.c_str(), port, &canonical, 0);
    CheckedFree(canonical);
    if (r != 0) return false;
    Sink() = &received;
    session->mainChannelData = [](SshSession*, const uint8_t* data, uint32_t length) {
      Sink()->append(reinterpret_cast<const char*>(data), length);
    };
    return Pump([&] { return session->ready != 0; }) && session->ready;
  }

  void SendMain(const std::string& bytes) {
    session->protocol(session, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()), nullptr);
  }

  // One SFTP INIT on the main channel must be answered by a VERSION packet.
  void ExpectSftpVersion() {
    SendMain(std::string("\0\0\0\x05\x01\0\0\0\x03", 9));
    ASSERT_TRUE(Pump([&] { return received.size() >= 9; })) << std::hex << SshGetLastError(session);
    EXPECT_EQ(uint8_t(received[4]), 2) << "SSH_FXP_VERSION";
  }

  // The main channel's observer has no context: one client collects at a time.
  static std::string*& Sink() {
    static std::string* sink = nullptr;
    return sink;
  }

  SshSettings settings{};
  SshSession* session = nullptr;
  std::string received;
};

}  // namespace sshextra
