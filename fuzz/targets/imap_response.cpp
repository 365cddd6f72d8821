// The IMAP client against a server that sends these bytes: greeting and capabilities, login,
// mailbox listing and selection, searches, flags and messages with their literals. The
// client's tags run A0001, A0002, ... in every conversation, so saved inputs replay alike.
#include "deadline.h"
#include "fuzz_target.h"
#include "imap/imap.h"
#include "platform/base/heap.h"
#include "play_server.h"

namespace {

void Converse(LibHandle h) {
  ImapGetCapabilities(h);
  if (ImapLogin(h, "user", "password") != 1) return;
  char name[256];
  uint32_t attributes = 0;
  for (int32_t more = ImapGetFirstMailbox(h, name, &attributes); more > 0; more = ImapGetNextMailbox(h, name, &attributes)) {
  }
  ImapMailboxStatus status{};
  if (ImapSelectMailbox(h, "INBOX", &status) != 1) return;
  uint32_t messages = 0, recent = 0;
  ImapCheckMailbox(h, &messages, &recent);
  uint32_t numbers[64];
  ImapSearchMailbox(h, "UNSEEN", nullptr, numbers, 64);
  uint32_t flags = 0;
  ImapGetMessageFlags(h, 1, &flags);
  ImapGetMessageUid(h, 1);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (ImapRetrieveMessage(h, 1, &block, &length, 0) != -1 && block) plat::GlobalFree(block);
  ImapStoreMessageFlags(h, 1, 0, kImapFlagSeen);
  ImapGetResponseText(h);
}

}  // namespace

CV_FUZZ_TARGET(imap_response) {
  static const bool attached = ImapAttach(nullptr) == 1;
  FUZZ_CHECK(attached);
  static cvfuzz::PlayServer server;
  cvfuzz::Input in(data, size);
  cvfuzz::Deadline deadline(std::chrono::seconds(10), "one IMAP conversation");
  server.Play(in.Rest(), [&] {
    const LibHandle h = ImapConnect("127.0.0.1", uint32_t(server.port()), 2, 0, nullptr);
    if (h == kInvalidLibHandle) return;
    Converse(h);
    ImapDisconnect(h);
  });
}
