// An SMTP connect, a login and a message to two recipients against the scripted server,
// with each platform heap and C++ allocation failing in turn.
#include <chrono>
#include <string>

#include "each_allocation.h"
#include "smtp/smtp_test_support.h"

namespace allocfail {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

using SmtpAllocations = smtptest::SmtpTest;

TEST_F(SmtpAllocations, ConnectLogInAndSend) {
  const std::string message =
      "From: Ann <a@x.test>\r\nTo: b@y.test, c@y.test\r\nSubject: lunch\r\n\r\n.dot first\r\nsecond line\n";
  const Path path = [&message]() -> uint32_t {
    ScriptServer server;
    smtptest::Greet(server)
        .Expect("AUTH LOGIN")
        .Reply("334 VXNlcm5hbWU6")
        .Expect("YW5u")
        .Reply("334 UGFzc3dvcmQ6")
        .Expect("c2VjcmV0")
        .Reply("235 welcome")
        .Expect("RSET")
        .Reply("250 reset")
        .Expect("MAIL FROM:<a@x.test> SIZE=" + std::to_string(message.size()))
        .Reply("250 sender ok")
        .Expect("RCPT TO:<b@y.test>")
        .Reply("250 ok")
        .Expect("RCPT TO:<c@y.test>")
        .Reply("250 ok")
        .Expect("DATA")
        .Reply("354 go")
        .Call([](ScriptServer& s) {
          std::string line;
          while (s.ReadLine(line, 5s) && line != ".") {
          }
        })
        .Reply("250 queued")
        .Expect("QUIT")
        .Reply("221 bye");
    server.Start();
    LibraryCalls calls;
    const LibHandle h =
        SmtpConnect(server.address(), uint32_t(server.port()), 5, kSmtpOptionExtended, "client.test", nullptr);
    if (h == kInvalidLibHandle) return SmtpGetLastError();
    uint32_t error = 0;
    if (SmtpAuthenticate(h, 0, "ann", "secret") == -1 ||
        SmtpSendMessage(h, "Ann <a@x.test>", "b@y.test, c@y.test", message.c_str(), 0, kSmtpSourceText) != 0) {
      error = SmtpGetLastError();
    }
    SmtpDisconnect(h);
    return error;
  };
  EXPECT_GT(EachAllocationFails(path, true), 5u);
}

}  // namespace
}  // namespace allocfail
