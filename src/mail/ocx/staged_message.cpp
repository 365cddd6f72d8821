#include "mail/ocx/staged_message.h"

#include <utility>

#include "core/errors/error_codes.h"
#include "mime/mime.h"

namespace mailctl {

StagedMessage::~StagedMessage() {
  if (message_ != kInvalidLibHandle) MimeDestroyMessage(message_);
}

bool StagedMessage::Create(bool emptied) {
  message_ = MimeCreateMessage();
  return message_ != kInvalidLibHandle && (!emptied || MimeResetMessage(message_));
}

void StagedMessage::Feed(const char* text, uint32_t length) {
  if (!parsing_ || !length || MimeParseMessage(message_, text, int32_t(length))) return;
  // Past the part limit every byte is still taken (and kept): parsing goes on.
  if (MimeGetLastError() == cvErrorInvalidMessagePart) partLimit_ = true;
  else parsing_ = false;
}

void StagedMessage::Take(void* context, const char* text, uint32_t length) {
  auto* staged = static_cast<StagedMessage*>(context);
  if (length == 0) return;
  // The parser tells a folded header line by the byte after its line feed, within the piece
  // it is given: a line feed goes to it together with that byte, so that the message parses
  // as its whole text would, wherever the reads happen to end.
  if (staged->heldLf_) {
    const char pair[2] = {'\n', text[0]};
    staged->Feed(pair, 2);
    ++text;
    --length;
  }
  staged->heldLf_ = length > 0 && text[length - 1] == '\n';
  staged->Feed(text, staged->heldLf_ ? length - 1 : length);
}

LibHandle StagedMessage::Finish() {
  if (heldLf_) Feed("\n", 1);
  heldLf_ = false;
  return std::exchange(message_, kInvalidLibHandle);
}

}  // namespace mailctl
