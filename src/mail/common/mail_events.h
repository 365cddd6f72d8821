#pragma once
// The event codes of the mail client libraries (SMTP, POP3, IMAP): one bit per event, the
// low word of a notification's lParam. Bit n selects callback slot n.
#include <cstdint>

namespace cvmail {

enum MailEventCode : uint32_t {
  kMailEventConnect = 1,
  kMailEventDisconnect = 2,
  kMailEventRead = 4,
  kMailEventTimeout = 16,
  kMailEventCancel = 32,
  kMailEventCommand = 64,
  kMailEventProgress = 128,
};

inline constexpr int kMailEventSlots = 8;
// Events raised from a socket's network events: registering one of them routes the socket
// to the window.
inline constexpr uint32_t kMailNetworkEvents = 1 | 2 | 4 | 8;

}  // namespace cvmail
