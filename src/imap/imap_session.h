#pragma once
// The record of one IMAP connection. Fields other threads read or write (cancel, busy, the
// transfer counters and ticks, the IDLE state, and what the IDLE thread's responses update
// while the owner may read it: the counts, the greeting mark, the last response's id and
// number) are atomics; the response text is written under textLock. The IDLE thread and
// the owner never use the connection at the same time (the owner stops the thread first).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/sock/sock.h"
#include "core/stream/read_ahead.h"
#include "imap/imap_bits.h"
#include "mail/common/mail_events.h"
#include "mail/common/mail_state.h"
#include "mail/common/mail_tls.h"
#include "platform/base/heap.h"
#include "platform/base/sync.h"

namespace plat {
class Thread;
}
namespace cvimap {
class SearchNumbers;
}

// Called on the IDLE thread: (session handle, update type, message number, user data).
using ImapUpdateCallback = void (*)(LibHandle handle, uint32_t type, uint32_t number, uintptr_t userData);

inline constexpr uint32_t kImapHostSize = 256;
inline constexpr uint32_t kImapCapabilitySize = 1024;
inline constexpr uint32_t kImapMailboxNameSize = 256;
inline constexpr uint32_t kImapTextSize = 8192;
inline constexpr uint32_t kImapCodeNameSize = 128;
inline constexpr uint32_t kImapCommandSize = 1024;
inline constexpr uint32_t kImapReadSize = 8192;      // the most ImapReadData hands out at once
inline constexpr uint32_t kImapReceiveSize = 65536;  // one receive: a large literal takes few calls

// One entry of the mailbox list (session heap).
struct ImapMailboxEntry {
  char name[kImapMailboxNameSize];
  uint32_t attributes;
  ImapMailboxEntry* next;
};

struct ImapSession {
  LibSessionHeader header;  // controlSocket: the connection
  uint32_t options;
  plat::HeapHandle heap;
  cvcore::NotifyRegistration<cvmail::kMailEventSlots> notify;

  // IDLE.
  std::atomic<uint32_t> idleThread;  // id of the running IDLE thread, 0 when none
  std::atomic<uint32_t> idleState;   // kImapIdle*
  std::shared_ptr<plat::Thread> idleWorker;
  ImapUpdateCallback updateCallback;
  uintptr_t updateUserData;
  uint32_t idleTimeout;  // seconds
  uint32_t idleOptions;
  std::atomic<uint32_t> inCallback;
  uint32_t idleOpen;      // IDLE was sent and DONE is still owed
  plat::Event idleStop;   // wakes the IDLE thread's wait for the server
  plat::Event idleChanged;  // set whenever the IDLE state changes

  uint32_t currentCommand;  // id of the last command sent (command table), 0 for others
  std::atomic<uint32_t> currentMessage;
  std::atomic<uint32_t> exists;
  uint32_t unseen;
  std::atomic<uint32_t> recent;
  std::atomic<uint32_t> responseId, responseNumber;
  uint32_t tagCounter;
  uint32_t timeout;  // seconds
  cvmail::MailState state;  // changed through SetState only
  uint32_t mailboxFlags, uidValidity, permanentFlags, uidNext;
  uint32_t messageSize, messageFlags, messageUid;
  std::atomic<uint32_t> literalSize;
  std::atomic<uint32_t> literalRead;
  std::atomic<uint32_t> startTick;
  std::atomic<uint32_t> endTick;

  uint32_t loggedIn;
  std::atomic<uint32_t> appendRunning;
  std::atomic<uint32_t> busy;
  std::atomic<uint32_t> cancel;
  uint32_t closed;    // the server closed the connection, or a time-out ended it
  uint32_t timedOut;  // a wait timed out: the session is given up
  uint32_t responsePending;
  std::atomic<uint32_t> greetingReceived;
  uint32_t lineMode;
  uint32_t literalOpen;
  uint32_t literalExpected;  // a message read takes the next literal itself
  uint32_t literalTail;      // the next line ends the response a literal was part of
  uint32_t untaggedMode;     // return after each untagged response
  uint32_t readWrite;
  uint32_t mailboxSelected;
  std::atomic<uint32_t> lastTagged;
  plat::HGLOBAL retrievalBlock;
  uint32_t retrieving;  // a retrieval reads the message text itself
  cvimap::SearchNumbers* searchSink = nullptr;  // takes SEARCH numbers while a search runs

  SockAddress serverAddress;
  uint32_t port;
  char host[kImapHostSize];
  char capabilities[kImapCapabilitySize];
  char mailboxName[kImapMailboxNameSize];
  char responseText[kImapTextSize];
  char responseTextCopy[kImapTextSize];  // the owner's copy while the IDLE thread may write
  std::mutex textLock;                   // guards responseText
  char codeName[kImapCodeNameSize];   // response code of the last response ("" when none)
  char codeValue[kImapTextSize];
  char commandLine[kImapCommandSize];
  cvcore::ReadAhead<kImapReceiveSize> received;  // bytes received, not yet used

  ImapMailboxEntry* listHead;
  ImapMailboxEntry* listTail;
  ImapMailboxEntry* listCursor;

  cvmail::TlsState tls{header.controlSocket};

  // Library bookkeeping.
  plat::Event cancelSignal;  // set with the cancel flag: wakes the owner's wait
  std::atomic<uint32_t> operationDepth;  // library calls of this session under way
  uint32_t freePending;      // released while a call was under way: freed when it ends
  uint32_t windowSuspended;  // window-message mode is off for a retrieval or an APPEND
};
