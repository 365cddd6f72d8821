#pragma once
// The record of one POP3 connection. Fields other threads read (cancel, busy, the
// transfer counters and ticks) are atomics.
#include <atomic>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/sock/sock.h"
#include "core/stream/read_ahead.h"
#include "mail/common/mail_events.h"
#include "mail/common/mail_state.h"
#include "mail/common/mail_tls.h"
#include "platform/base/heap.h"
#include "platform/base/sync.h"
#include "pop3/pop3_bits.h"

inline constexpr uint32_t kPop3ReplyTextSize = 512;
inline constexpr uint32_t kPop3CommandSize = 256;
inline constexpr uint32_t kPop3ReceiveSize = 65536;    // one receive: a large message takes few calls
inline constexpr uint32_t kPop3SecReceiveSize = 4096;  // the most SecPop3Receive hands out at once
inline constexpr uint32_t kPop3UidSize = 128;
inline constexpr uint32_t kPop3TimeStampSize = 128;
inline constexpr uint32_t kPop3HostSize = 256;

struct Pop3Session {
  LibSessionHeader header;  // controlSocket: the connection
  uint32_t options;
  plat::HeapHandle heap;
  cvcore::NotifyRegistration<cvmail::kMailEventSlots> notify;

  std::atomic<uint32_t> currentMessage;  // being read (0 = none): key of the size and UID caches
  uint32_t lastMessage;                  // message count of the last STAT
  uint32_t capabilities;
  uint32_t messageCount;  // STAT count less this session's deletions
  cvmail::MailState state;   // changed through SetState only
  uint32_t timeout;          // seconds
  uint32_t terminatorState;  // how much of "\r\n.\r\n" is matched (0..4)
  std::atomic<uint32_t> busy;
  std::atomic<uint32_t> cancel;
  uint32_t closed;    // the server closed the connection, or a time-out ended it
  uint32_t timedOut;  // a wait timed out: the session is given up
  uint32_t replyPending;
  uint32_t connected;
  uint32_t greetingExpected;
  uint32_t responseEnded;
  uint32_t multiLine;
  uint32_t loggedIn;
  uint32_t lastStatus;  // 1 "+OK", 0 "-ERR"
  plat::HGLOBAL retrievalBlock;
  plat::HGLOBAL spareBlock;
  uint32_t mailboxSize;
  uint32_t deletedOctets;
  std::atomic<uint32_t> currentSize;
  std::atomic<uint32_t> bytesCopied;
  std::atomic<uint32_t> startTick;
  std::atomic<uint32_t> endTick;
  SockAddress serverAddress;
  uint32_t port;
  char host[kPop3HostSize];
  char currentUid[kPop3UidSize];
  char timeStamp[kPop3TimeStampSize];
  char replyText[kPop3ReplyTextSize];
  char commandLine[kPop3CommandSize];
  cvcore::ReadAhead<kPop3ReceiveSize> received;  // bytes received, not yet used
  cvmail::TlsState tls{header.controlSocket};
  uint32_t pendingCount;  // bytes held back by the multi-line reader
  char pending[4];

  // Library bookkeeping.
  plat::Event cancelSignal;    // set with the cancel flag: wakes the owner's wait
  uint32_t operationDepth;     // library calls of this session under way
  uint32_t freePending;        // released while a call was under way: freed when it ends
  uint32_t windowSuspended;    // window-message mode is off for a retrieval
  uint32_t retrieving;         // a retrieval reads the message text
  uint32_t retrievalRunning;   // a retrieval (whole message, or headers) is under way
};
