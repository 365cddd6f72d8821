#pragma once
// The window messages the InternetMail control registers with its mail libraries. The
// control, and the tests that register a window as the control does, name them from here.
#include "platform/types.h"

namespace mailctl {

inline constexpr UINT kMsgPop3Notify = 2025;
inline constexpr UINT kMsgImapNotify = 2026;
inline constexpr UINT kMsgSmtpNotify = 2027;
inline constexpr UINT kMsgMailboxUpdate = 2028;

}  // namespace mailctl
