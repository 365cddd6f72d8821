#pragma once
// The record of one SMTP connection. Fields other threads touch (cancel, busy, the
// transfer counters and ticks) are atomics.
#include <atomic>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/reply/reply_reader.h"
#include "core/sock/sock.h"
#include "core/stream/read_ahead.h"
#include "mail/common/mail_dot_stuff.h"
#include "mail/common/mail_events.h"
#include "mail/common/mail_state.h"
#include "mail/common/mail_tls.h"
#include "platform/base/heap.h"
#include "platform/base/sync.h"
#include "smtp/smtp_bits.h"

inline constexpr uint32_t kSmtpHostSize = 256;
inline constexpr uint32_t kSmtpCredentialSize = 128;
inline constexpr uint32_t kSmtpReplyTextSize = 4096;
inline constexpr uint32_t kSmtpCommandSize = 4096;
inline constexpr uint32_t kSmtpReceiveSize = 4096;

struct SmtpSession {
  LibSessionHeader header;  // controlSocket: the connection
  uint32_t options;
  plat::HeapHandle heap;
  cvcore::NotifyRegistration<cvmail::kMailEventSlots> notify;

  uint32_t loginMethod;
  SockAddress serverAddress;
  uint32_t port;
  uint32_t extensions;
  uint32_t dsnOptions;
  std::atomic<uint32_t> messageSize;
  std::atomic<uint32_t> bytesCopied;
  std::atomic<uint32_t> startTick;
  std::atomic<uint32_t> endTick;
  uint32_t senderAccepted;
  uint32_t loggedIn;
  std::atomic<uint32_t> busy;
  std::atomic<uint32_t> cancel;
  uint32_t replyPending;
  uint32_t connected;
  uint32_t extended;
  uint32_t dataOpen;
  uint32_t timedOut;
  cvmail::MailState state;        // changed through SetState only
  cvmail::DotStuffer dataWriter;  // line ends and leading dots of the message data
  uint32_t acceptedRecipients;
  uint32_t timeout;    // seconds
  uint32_t replyCode;  // of the last reply; 0 while none was read for the last command
  char host[kSmtpHostSize];
  char ehloDomain[kSmtpHostSize];
  char user[kSmtpCredentialSize];
  char password[kSmtpCredentialSize];
  char replyText[kSmtpReplyTextSize];
  cvcore::ReplyReader reader;            // the reply being read, and its deadline
  char commandBuffer[kSmtpCommandSize];  // command lines, and the data writer's output block
  // Bytes received after the end of the last reply, kept for the next one.
  cvcore::ReadAhead<kSmtpReceiveSize> received;
  cvmail::TlsState tls{header.controlSocket};

  // Library bookkeeping.
  plat::Event cancelSignal;  // set with the cancel flag: wakes the owner's wait
  uint32_t operationDepth;   // library calls of this session under way
  uint32_t freePending;      // released while a call was under way: freed when it ends
};
