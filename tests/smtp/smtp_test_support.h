#pragma once
// What the SMTP suites share: the library attached for each test, a scripted server's
// greeting and EHLO, and a recorder of the library's events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/common/mail_events.h"
#include "mail/ocx/notify_messages.h"
#include "platform/msg/msg.h"
#include "smtp/smtp.h"
#include "smtp/smtp_bits.h"
#include "support/script_server.h"

namespace smtptest {

// The events the InternetMail control registers for.
inline constexpr uint32_t kTimeoutCancelProgress =
    cvmail::kMailEventTimeout | cvmail::kMailEventCancel | cvmail::kMailEventProgress;

class SmtpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SmtpAttach(nullptr), 1); }
  void TearDown() override { SmtpDetach(); }
};

// The EHLO reply of a scripted server announcing the given extension lines.
inline std::string EhloReply(const std::vector<std::string>& extensions) {
  std::string reply = "250" + std::string(extensions.empty() ? " " : "-") + "script.test greets client.test\r\n";
  for (size_t i = 0; i < extensions.size(); ++i)
    reply += "250" + std::string(i + 1 == extensions.size() ? " " : "-") + extensions[i] + "\r\n";
  return reply;
}

// Greeting and EHLO (the client says "client.test").
inline cvtest::ScriptServer& Greet(cvtest::ScriptServer& server, const std::vector<std::string>& extensions = {
                                                                      "SIZE 1000000", "DSN", "AUTH LOGIN PLAIN"}) {
  return server.Reply("220 script.test ready").Expect("EHLO client.test").Send(EhloReply(extensions));
}

inline LibHandle Connect(cvtest::ScriptServer& server, uint32_t options = kSmtpOptionExtended, uint32_t timeout = 5,
                         const char* domain = "client.test") {
  server.Start();
  return SmtpConnect(server.address(), uint32_t(server.port()), timeout, options, domain, nullptr);
}

// The events delivered to a session's callbacks.
struct EventLog {
  struct Entry {
    uint32_t event;
    uint32_t error;
  };
  std::vector<Entry> entries;

  static int32_t Record(LibHandle, uint32_t event, uint32_t error, uintptr_t parameter) {
    reinterpret_cast<EventLog*>(parameter)->entries.push_back({event, error});
    return 0;
  }
  // Records every event of the session.
  void Attach(LibHandle h) {
    for (uint32_t e = 1; e <= 128; e <<= 1) SmtpSetEventCallback(h, e, &Record, reinterpret_cast<uintptr_t>(this));
  }
  size_t Count(uint32_t event) const {
    size_t n = 0;
    for (const Entry& e : entries) n += e.event == event;
    return n;
  }
};

}  // namespace smtptest
