// The POP3 client against a server that sends these bytes: greeting (with an APOP stamp),
// login, the mailbox status and listings, and multi-line messages with their dot-stuffing.
#include "deadline.h"
#include "fuzz_target.h"
#include "platform/base/heap.h"
#include "play_server.h"
#include "pop3/pop3.h"

namespace {

void Converse(LibHandle h, uint8_t how) {
  if (Pop3Login(h, how >> 1 & 1, "user", "password") == -1) return;
  uint32_t last = 0, size = 0;
  Pop3GetMailboxStatus(h, &last, &size);
  Pop3GetMessageCount(h);
  Pop3GetMessageSize(h, 1);
  char uid[128];
  Pop3GetMessageUid(h, 1, uid, sizeof uid);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (Pop3RetrieveMessage(h, 1, &block, &length, 0) != -1 && block) plat::GlobalFree(block);
  char buffer[512];
  length = sizeof buffer;
  Pop3RetrieveMessage(h, 2, buffer, &length, how >> 2 & 3);
  Pop3DeleteMessage(h, 1);
  Pop3Reset(h);
}

}  // namespace

CV_FUZZ_TARGET(pop3_reply) {
  static const bool attached = Pop3Attach(nullptr) == 1;
  FUZZ_CHECK(attached);
  static cvfuzz::PlayServer server;
  cvfuzz::Input in(data, size);
  const uint8_t how = in.Byte();
  cvfuzz::Deadline deadline(std::chrono::seconds(10), "one POP3 conversation");
  server.Play(in.Rest(), [&] {
    const LibHandle h = Pop3Connect("127.0.0.1", uint32_t(server.port()), 2, 0, nullptr);
    if (h == kInvalidLibHandle) return;
    Converse(h, how);
    Pop3Disconnect(h);
  });
}
