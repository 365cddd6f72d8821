#include "mail/common/mail_state.h"

#include "core/state/named_state.h"

namespace cvmail {

namespace {

constexpr cvcore::StateName<MailState> kNames[] = {
    {MailState::Idle, "idle"},       {MailState::Connecting, "connecting"}, {MailState::Reading, "reading"},
    {MailState::Writing, "writing"}, {MailState::Closing, "closing"},
};

}  // namespace

const char* MailStateName(MailState state) noexcept { return cvcore::NameOf(kNames, state); }

MailState ChangeMailState(MailState& field, MailState next, const char* what, LibHandle handle) noexcept {
  return cvcore::ChangeState(field, next, kNames, what, handle);
}

}  // namespace cvmail
