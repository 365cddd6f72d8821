// The SMTP client against a server that sends these bytes: greeting, EHLO or HELO reply and
// its extensions, authentication challenges, and the replies of a whole message transfer.
#include <cstring>

#include "deadline.h"
#include "fuzz_target.h"
#include "play_server.h"
#include "smtp/smtp.h"

namespace {

constexpr char kMessage[] = "From: a@client.test\r\nSubject: fuzz\r\n\r\n.a line with a dot\r\nbody\r\n";

void Converse(LibHandle h, uint8_t how) {
  uint32_t bits = 0;
  SmtpGetExtensions(h, &bits);
  if (how & 2) SmtpAuthenticate(h, how >> 2 & 1, "user", "password");
  if (SmtpSendMessage(h, "a@client.test", "b@server.test, \"C D\" <c@server.test>", kMessage,
                      uint32_t(std::strlen(kMessage)), kSmtpSourceMemory) == -1)
    return;
  SmtpGetReplyText(h);
  SmtpCommand(h, "NOOP", nullptr);
  SmtpReset(h);
}

}  // namespace

CV_FUZZ_TARGET(smtp_reply) {
  static const bool attached = SmtpAttach(nullptr) == 1;
  FUZZ_CHECK(attached);
  static cvfuzz::PlayServer server;
  cvfuzz::Input in(data, size);
  const uint8_t how = in.Byte();
  const uint32_t options = how & 1 ? kSmtpOptionExtended : 0;
  cvfuzz::Deadline deadline(std::chrono::seconds(10), "one SMTP conversation");
  server.Play(in.Rest(), [&] {
    const LibHandle h = SmtpConnect("127.0.0.1", uint32_t(server.port()), 2, options, "client.test", nullptr);
    if (h == kInvalidLibHandle) return;
    Converse(h, how);
    SmtpDisconnect(h);
  });
}
