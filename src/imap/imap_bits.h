#pragma once
// The named bits and values of the IMAP library, defined once for the library, the
// InternetMail control, its type information and the tests: session options, the IDLE
// thread's states, mailFlag bits, the open, read and store modes, IDLE options and update
// types, and the response ids.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "mail/common/mail_bits.h"

// Option bits of a session.
inline constexpr uint32_t kImapOptionSendId = 0x1;
inline constexpr uint32_t kImapOptionTunnel = cvmail::kMailOptionTunnel;  // port 993 does not imply implicit TLS
inline constexpr uint32_t kImapOptionTrustedSite = cvmail::kMailOptionTrustedSite;
inline constexpr uint32_t kImapOptionSecure = cvmail::kMailOptionSecure;
inline constexpr uint32_t kImapOptionSecureImplicit = cvmail::kMailOptionSecureImplicit;
inline constexpr uint32_t kImapOptionIpv6Only = cvmail::kMailOptionIpv6Only;
inline constexpr uint32_t kImapOptionFreeThreaded = kLibOptionFreeThreaded;

// IDLE states.
inline constexpr uint32_t kImapIdleNone = 0;
inline constexpr uint32_t kImapIdleRunning = 1;
inline constexpr uint32_t kImapIdleStopRequested = 2;

// mailFlag bits: message flags (below 0x10000) and mailbox attributes.
inline constexpr uint32_t kImapFlagAnswered = 0x1;
inline constexpr uint32_t kImapFlagDraft = 0x2;
inline constexpr uint32_t kImapFlagFlagged = 0x4;
inline constexpr uint32_t kImapFlagSeen = 0x8;
inline constexpr uint32_t kImapFlagRecent = 0x100;
inline constexpr uint32_t kImapFlagDeleted = 0x200;
inline constexpr uint32_t kImapFlagNoInferiors = 0x10000;
inline constexpr uint32_t kImapFlagNoSelect = 0x20000;
inline constexpr uint32_t kImapFlagMarked = 0x40000;
inline constexpr uint32_t kImapFlagUnmarked = 0x80000;

// Open options of ImapOpenMailbox.
inline constexpr uint32_t kImapOpenReadOnly = 0x1;     // EXAMINE
inline constexpr uint32_t kImapOpenReselect = 0x2;     // even when already selected in that mode
inline constexpr uint32_t kImapOpenKeepCurrent = 0x4;  // no CLOSE of the current mailbox first

// Read flags of ImapOpenMessage and ImapRetrieveMessage.
inline constexpr uint32_t kImapReadHeader = 0x1;
inline constexpr uint32_t kImapReadMime = 0x2;
inline constexpr uint32_t kImapReadWhole = 0x4;
inline constexpr uint32_t kImapReadPeek = 0x1000;
inline constexpr uint32_t kImapReadHeadersOnly = 0x10000000;
inline constexpr uint32_t kImapReadUnicode = 0x20000000;

// Flag change modes of ImapStoreMessageFlags.
inline constexpr uint32_t kImapStoreReplace = 0;
inline constexpr uint32_t kImapStoreAdd = 1;
inline constexpr uint32_t kImapStoreRemove = 2;

// IDLE options and update types.
inline constexpr uint32_t mailIdleNoWait = 0;
inline constexpr uint32_t mailIdleWait = 1;
inline constexpr uint32_t mailUpdateUnknown = 0;
inline constexpr uint32_t mailUpdateMessage = 1;
inline constexpr uint32_t mailUpdateExpunge = 2;
inline constexpr uint32_t mailUpdateMailbox = 3;

// Response ids.
inline constexpr uint32_t kImapResponseUnknown = 0;
inline constexpr uint32_t kImapResponseOk = 1;
inline constexpr uint32_t kImapResponseNo = 2;
inline constexpr uint32_t kImapResponseBad = 3;
inline constexpr uint32_t kImapResponseContinue = 4;
inline constexpr uint32_t kImapResponseBye = 6;
inline constexpr uint32_t kImapResponseCapability = 7;
inline constexpr uint32_t kImapResponseExists = 8;
inline constexpr uint32_t kImapResponseExpunge = 9;
inline constexpr uint32_t kImapResponseFetch = 10;
inline constexpr uint32_t kImapResponseFlags = 11;
inline constexpr uint32_t kImapResponseList = 12;
inline constexpr uint32_t kImapResponseLsub = 13;
inline constexpr uint32_t kImapResponsePreauth = 14;
inline constexpr uint32_t kImapResponseRecent = 16;
inline constexpr uint32_t kImapResponseSearch = 17;
