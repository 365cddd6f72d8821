#pragma once
// A message parsed as it arrives from the server into a message object of its own, so that
// the control's object is replaced only once the whole message was read and no copy of the
// raw text is kept.
#include <cstdint>

#include "core/frame/lib_types.h"

namespace mailctl {

class StagedMessage {
 public:
  StagedMessage() = default;
  StagedMessage(const StagedMessage&) = delete;
  StagedMessage& operator=(const StagedMessage&) = delete;
  ~StagedMessage();

  // A new message object, emptied as a held one would be when `emptied`; false with the
  // MIME library's error.
  bool Create(bool emptied);
  // The sink of a retrieval (context: this object).
  static void Take(void* context, const char* text, uint32_t length);
  // After the last piece: the message object, handed over to the caller.
  LibHandle Finish();
  // The message had more parts than a message holds: all of it was taken, the rest of
  // the text after the last part's start is in that part.
  bool partLimit() const noexcept { return partLimit_; }

 private:
  void Feed(const char* text, uint32_t length);

  LibHandle message_ = kInvalidLibHandle;
  bool parsing_ = true;  // a text the parser refused is not fed further
  bool heldLf_ = false;  // the last piece ended with a line feed, not yet fed
  bool partLimit_ = false;
};

}  // namespace mailctl
