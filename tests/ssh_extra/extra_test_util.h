#pragma once
// Helpers of the tests of proxies, forwarding, X11 and SSH-1: a plug that records its
// events, and a pump loop with a deadline.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/sock/sock.h"
#include "platform/base/tick.h"
#include "ssh/net/ssh_net.h"
#include "ssh/proto/session.h"
#include "ssh/proto/settings.h"

namespace sshextra {

class RecordingPlug final : public SshPlug {
 public:
  void Log(int32_t, const SshAddress*, int32_t, const char*, int32_t) override {}
  int32_t Closing(uint32_t error, int32_t) override {
    ++closings;
    code = error;
    if (socket) socket->Close();
    socket = nullptr;
    return 0;
  }
  int32_t Receive(int32_t, const uint8_t* bytes, int32_t length) override {
    data.append(reinterpret_cast<const char*>(bytes), size_t(length));
    return 1;
  }
  void Sent(uint32_t backlog) override { sent.push_back(backlog); }
  int32_t Accepting(SOCKET) override { return 1; }

  SshSocket* socket = nullptr;  // closed by the first closing event
  std::string data;
  int closings = 0;
  uint32_t code = 0;
  std::vector<uint32_t> sent;
};

// A session record used only as the pump's context (its timeout bounds each wait).
inline SshSession* PumpContext() {
  static SshSession* s = [] {
    auto* session = new SshSession();
    session->timeout = 1;
    return session;
  }();
  return s;
}

// Pumps until done() or the deadline; false on time-out.
inline bool PumpUntil(const std::function<bool()>& done, uint32_t seconds = 10) {
  uint32_t start = plat::GetTickCount();
  while (!done()) {
    if (plat::GetTickCount() - start > seconds * 1000) return false;
    SshPumpEvents(PumpContext());
  }
  return true;
}


// Sockets are started once for the whole test program (inline: one registration per
// program whichever files include this).
class SocketsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    plat::WSADATA data;
    SockStartup(&data);
  }
  void TearDown() override { SockCleanup(); }
};
inline ::testing::Environment* const g_socketsEnvironment =
    ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

inline SshSettings DefaultSettings() {
  SshSettings s;
  SshSettingsSetDefaults(&s);
  return s;
}

}  // namespace sshextra
