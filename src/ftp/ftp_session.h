#pragma once
// The FTP library's session record: the header every library shares, then the session's
// connection, notification, login, transfer, reply and TLS state, and at the end the
// library's private bookkeeping (operation depth, cancel signal, reply reader, command
// input buffer). Fields other threads read (blocked, cancel, restart, last command time)
// are atomics.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/reply/reply_reader.h"
#include "core/sock/sock.h"
#include "core/stream/read_ahead.h"
#include "platform/base/heap.h"
#include "platform/base/sync.h"
#include "platform/msg/msg_types.h"
#include "platform/types.h"

struct SecCredentials;
struct SshSession;
namespace cvftp {
struct ChannelStreams;
}

inline constexpr size_t kFtpDataBufferSize = 8192;
inline constexpr int kFtpEventCount = 12;
inline constexpr size_t kFtpHostNameSize = 256;
inline constexpr size_t kFtpCredentialSize = 129;  // 128 characters and the terminator
inline constexpr size_t kFtpDirectorySize = 1024;
inline constexpr size_t kFtpFileNameSize = 512;
inline constexpr size_t kFtpCommandLineSize = 4096;
inline constexpr uint32_t kFtpCommandInputSize = 2048;
inline constexpr uint32_t kFtpReplyTextSize = 8192;       // 8,191 characters and the terminator
inline constexpr uint32_t kFtpReplyByteLimit = 1u << 20;  // beyond this a reply is endless
// Replies keep their lines apart: listings and FEAT answers are read line by line.
inline constexpr cvcore::ReplyLimits kFtpReplyLimits = {kFtpReplyTextSize, kFtpReplyByteLimit, true};

// An event callback: (handle, event bit, error, the parameter registered with it).
using FtpEventCallback = void (*)(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter);

// What a session is doing. FtpSetTransferState lets a caller store values of its own
// beside these.
enum class FtpState : uint32_t {
  Idle = 1,
  Connecting = 2,
  Receiving = 3,
  Sending = 4,
  Closing = 5,
  OpeningTransfer = 6,
  ClosingTransfer = 7,
  Downloading = 8,
  Uploading = 9,
  Listing = 10,
};

// The two connections of a session.
enum class FtpChannel : int { Command = 0, Data = 1 };

// What the command channel owes us after a failed reply read.
enum class FtpChannelDebt : uint32_t {
  None = 0,
  Reply = 1,    // a reply (or its rest) is still to come; the reader resumes it
  Unknown = 2,  // unparseable bytes: drain until the server is quiet
};

struct FtpSession {
  LibSessionHeader header;  // handle, slot, owner thread, control socket
  SOCKET dataSocket;        // listening socket first in active mode, then the accepted one
  SshSession* sftpSession;  // the SSH layer's session of an SFTP session
  plat::HeapHandle heap;
  cvcore::NotifyRegistration<kFtpEventCount, FtpEventCallback> notify;  // windows, mask, callbacks, holding

  uint32_t loggedIn;
  uint32_t autoFileType;
  std::atomic<uint32_t> blocked;
  std::atomic<uint32_t> cancelRequested;
  uint32_t replyPending;
  uint32_t connected;
  uint32_t endOfData;
  uint32_t dataError;  // a receive failure met while a read still had bytes to hand out
  uint32_t featuresQueried;
  uint32_t listingTypeOverride;
  uint32_t firstQueriesDone;
  uint32_t passive;
  std::atomic<uint32_t> restartPending;
  uint32_t pbszSent;
  uint32_t features;
  uint32_t options;
  uint16_t dataDirection;  // 0 download, 1 STOR, 2 APPE
  uint32_t encoding;       // 0 none, 1 ANSI, 2 UTF-8
  uint32_t fileType;       // 1 ASCII, 2 EBCDIC, 3 image
  uint32_t defaultAutoType;
  uint32_t commandProtected;
  uint32_t dataProtected;
  SockAddress serverAddress;
  uint32_t serverPort;
  uint32_t timeout;  // seconds
  uint32_t activePortLow;
  uint32_t activePortHigh;
  char hostName[kFtpHostNameSize];
  char user[kFtpCredentialSize];
  char password[kFtpCredentialSize];
  char account[kFtpCredentialSize];
  char currentDirectory[kFtpDirectorySize];
  uint32_t proxyType;
  SockAddress proxyAddress;
  uint32_t proxyPort;
  char proxyHost[kFtpHostNameSize];
  char proxyUser[kFtpCredentialSize];
  char proxyPassword[kFtpCredentialSize];
  char localFileName[kFtpFileNameSize];
  char remoteFileName[kFtpFileNameSize];
  // Transfer statistics: read by status queries from any thread.
  std::atomic<uint64_t> fileSize;
  std::atomic<uint64_t> bytesTransferred;
  std::atomic<uint64_t> restartOffset;
  std::atomic<uint32_t> transferStart;
  std::atomic<uint32_t> transferEnd;
  std::atomic<FtpState> state;  // changed through cvftp::SetState only
  uint32_t priority;
  uint32_t replyCode;
  char replyText[kFtpReplyTextSize];
  char commandLine[kFtpCommandLineSize];
  std::atomic<uint32_t> lastCommandTime;
  char* dataBuffer;  // dataBufferSize bytes from the session heap
  char* dataCursor;
  uint32_t dataBufferSize;
  uint32_t bytesBuffered;
  uint32_t systemType;       // 0 not asked, 255 not recognised
  uint32_t directoryFormat;  // plus 7 for MLSD

  // Listing state: filled in by the directory listing code.
  char* listingLine;
  uint32_t listingLineLength;
  void* listingEntries;

  // TLS state: filled in by the TLS channel code.
  uint32_t tlsProtocolMask;
  uint32_t certificateStatus;
  uint32_t lastSecurityStatus;
  SecCredentials* credentials;           // the session's own copy
  cvftp::ChannelStreams* streams;        // the channels as streams, with their TLS stages

  // ---- private bookkeeping ----
  uint32_t operationDepth;  // public calls of this session in progress (nested by events)
  uint32_t freePending;     // freed by an event receiver: released when the outermost call returns
  uint32_t cancelReported;  // the current cancel has given its event 128
  uint32_t keepAliveCounted;  // counted among the keep-alive sessions (under the library lock)
  plat::Event cancelSignal;  // set by FtpCancel: wakes a wait of the owner thread
  uint32_t waitDeadline;     // while waitDeadlineSet: the tick by which every wait ends
  uint32_t waitDeadlineSet;
  uint32_t quietEvents;      // events whose error notifications are held back (WithheldEvents)
  // What the channel streams reported last (a stream names its failure to its owner, and
  // the keep-alive thread's streams report here too); taken by the call whose I/O failed.
  std::atomic<uint32_t> streamError;
  FtpChannelDebt channelDebt;
  uint32_t typeRestoreOwed;          // a listing ended on a failed channel: its ASCII type is still the server's
  cvcore::ReplyReader reader;        // state of the reply being read (resumable after a time-out)
  char replyRaw[kFtpReplyTextSize];  // the last reply's lines as received, for the parsers
  uint32_t replyRawLength;
  cvcore::ReadAhead<kFtpCommandInputSize> commandInput;  // received on the command channel, not yet used
};
