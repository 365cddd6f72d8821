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

// Option bits of a session.
inline constexpr uint32_t kSmtpOptionExtended = 0x1;  // EHLO
inline constexpr uint32_t kSmtpOptionTunnel = 0x400;  // port 465 does not imply implicit TLS
inline constexpr uint32_t kSmtpOptionTrustedSite = 0x800;
inline constexpr uint32_t kSmtpOptionSecure = 0x1000;
inline constexpr uint32_t kSmtpOptionSecureImplicit = 0x2000;
inline constexpr uint32_t kSmtpOptionIpv6Only = 0x40000;
inline constexpr uint32_t kSmtpOptionFreeThreaded = 0x80000;

// Extension bits found in the EHLO reply.
inline constexpr uint32_t kSmtpExtensionExpn = 1;
inline constexpr uint32_t kSmtpExtensionVrfy = 2;
inline constexpr uint32_t kSmtpExtensionDsn = 4;
inline constexpr uint32_t kSmtpExtensionSize = 8;
inline constexpr uint32_t kSmtpExtensionEtrn = 16;
inline constexpr uint32_t kSmtpExtension8BitMime = 32;
inline constexpr uint32_t kSmtpExtensionAuthLogin = 64;
inline constexpr uint32_t kSmtpExtensionStartTls = 128;

// Delivery-status option bits.
inline constexpr uint32_t kSmtpDsnNever = 1;
inline constexpr uint32_t kSmtpDsnSuccess = 2;
inline constexpr uint32_t kSmtpDsnFailure = 4;
inline constexpr uint32_t kSmtpDsnDelay = 8;
inline constexpr uint32_t kSmtpDsnReturnHeaders = 16;
inline constexpr uint32_t kSmtpDsnReturnFull = 32;

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
