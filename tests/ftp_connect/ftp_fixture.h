#pragma once
// Shared set-up of the FTP session tests: an attached library, a scripted server and a
// recorder of the events a session delivers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/errors/error_codes.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "support/script_server.h"

namespace ftptest {

inline constexpr LibHandle kNone = kInvalidLibHandle;
using cvftp::kOptNoServerQueries;  // no SYST, FEAT or encoding of our own

// Records (event, error) pairs delivered to a session's callbacks.
struct EventLog {
  std::vector<std::pair<uint32_t, uint32_t>> events;
  static void Record(LibHandle, uint32_t event, uint32_t error, uintptr_t parameter) {
    reinterpret_cast<EventLog*>(parameter)->events.emplace_back(event, error);
  }
  // Delivers every event to Record (or to cb) with this log as parameter.
  void Attach(LibHandle h, FtpEventCallback cb = &EventLog::Record) {
    FtpSession* s = FtpGetSession(h);
    ASSERT_NE(s, nullptr);
    s->notify.eventMask = 0xFFFFFFFF;
    for (int i = 0; i < kFtpEventCount; ++i) {
      s->notify.callbacks[i] = cb;
      s->notify.parameters[i] = reinterpret_cast<uintptr_t>(this);
    }
  }
  int Count(uint32_t event) const {
    int n = 0;
    for (auto& e : events) n += e.first == event;
    return n;
  }
};

class FtpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FtpAttach(nullptr), 1); }
  void TearDown() override { FtpDetach(); }

  // Connects to the server (whose script must begin with the greeting).
  LibHandle Connect(cvtest::ScriptServer& server, uint32_t options = kOptNoServerQueries, uint32_t timeout = 2,
                    const char* user = nullptr, const char* password = nullptr) {
    server.Start();
    return FtpConnect(server.address(), uint32_t(server.port()), user, password, timeout, options, nullptr);
  }

  static std::string Text(LibHandle h) {
    char buffer[kFtpReplyTextSize];
    FtpGetResultString(h, buffer, sizeof buffer);
    return buffer;
  }
  static uint32_t LastError() { return FtpGetLastError(); }
};

}  // namespace ftptest
