#pragma once
// What a mail session (SMTP, POP3, IMAP) is doing, with its names and the one setter each
// library's sessions change it through, so that every change can be traced.
#include <cstdint>

#include "core/frame/lib_types.h"

namespace cvmail {

// The POP3 control hands the value out as a number.
enum class MailState : uint32_t {
  Idle = 1,
  Connecting = 2,
  Reading = 3,
  Writing = 4,
  Closing = 5,
};

const char* MailStateName(MailState state) noexcept;
// Stores next in field and returns the state it replaces; what names the session's kind
// in the trace ("SMTP session").
MailState ChangeMailState(MailState& field, MailState next, const char* what, LibHandle handle) noexcept;

}  // namespace cvmail
