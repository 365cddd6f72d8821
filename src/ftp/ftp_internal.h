#pragma once
// What the FTP library's operations share behind the C-style interface: the operation
// scope that keeps a session record alive while an event receiver may free it, the
// outcomes helpers return and how a public call ends with them, the session's waits, the
// command channel's I/O and the internal forms of the commands the library sends itself.
#include <cstdint>
#include <type_traits>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "ftp/ftp_library.h"
#include "ftp/ftp_state.h"

namespace cvftp {

// One public call on a session. The outermost scope of a session releases it when an
// event receiver freed it meanwhile (FtpFreeSession only marks a busy session), so the
// record stays valid for every call below; after anything that can run a receiver, test
// gone().
class Operation {
 public:
  explicit Operation(LibHandle handle) noexcept;
  ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  FtpSession* session() const noexcept { return session_; }
  explicit operator bool() const noexcept { return session_ != nullptr; }
  bool nested() const noexcept { return session_ && session_->operationDepth > 1; }

 private:
  FtpSession* session_;
};

// A session freed by an event receiver; the operation must stop touching the network.
inline bool Gone(const FtpSession& s) noexcept { return s.freePending != 0; }

// Releases a session now, or marks it (closing its sockets) while calls are running on it.
void ReleaseOrDefer(LibHandle handle) noexcept;

// Outcomes. Helpers return a Status (or a Result) and set no last error; the public entry
// point that called them finishes with it, once.
using cvcore::FirstFailure;
using cvcore::Result;
using cvcore::Status;

// Public calls end with the frame's Finish (a failure's code becomes the last error) or
// FinishClean (a success also leaves the last error 0). FinishOn: a call on a session whose
// SFTP form succeeds leaves the last error 0, as the SSH layer's own calls do; its FTP form
// leaves it as it was.
template <typename T>
T FinishOn(const FtpSession& s, const Result<T>& result, std::type_identity_t<T> onFailure) noexcept {
  return (s.options & kOptSftp) ? Library().FinishClean(result, onFailure) : Library().Finish(result, onFailure);
}
inline int32_t FinishOn(const FtpSession& s, Status status, int32_t onSuccess, int32_t onFailure) noexcept {
  return (s.options & kOptSftp) ? Library().FinishClean(status, onSuccess, onFailure)
                                : Library().Finish(status, onSuccess, onFailure);
}

// The failure of a call whose session an event receiver freed meanwhile.
inline constexpr Status kSessionGone{cvErrorInvalidHandle};
inline Status GoneOr(const FtpSession& s, Status status) noexcept { return Gone(s) ? kSessionGone : status; }
// The thread's platform error (socket calls and the address helpers) as a failure.
Status PlatformError() noexcept;
// The failure error, after event (64, 128 or 256) carrying it was delivered.
Status ErrorWithEvent(FtpSession& s, uint32_t error, uint32_t event) noexcept;
// 10004, with event 128 once per cancel.
Status CanceledError(FtpSession& s) noexcept;
// What the channel streams reported of the I/O that just failed.
Status StreamError(FtpSession& s) noexcept;

// The single call point of event delivery (the notification engine): the callback
// registered for the event bit and the notification window, when the event is in the
// session's mask, with the session's network events held meanwhile. May free the session.
void FireEvent(FtpSession& s, uint32_t event, uint32_t error) noexcept;
// Routes the data socket's network events to window (null stops them).
Status SelectDataEvents(FtpSession& s, HWND window, uint32_t message) noexcept;

// Waits up to the session timeout for a socket to become readable (POLLIN) or writable
// (POLLOUT), or for a cancel. Fails with 10060 and event 64, 10004 and event 128 (once per
// cancel), or the wait's error.
Status WaitSocket(FtpSession& s, SOCKET socket, short events) noexcept;
Status WaitSocketFor(FtpSession& s, SOCKET socket, short events, uint32_t timeoutMs) noexcept;
uint32_t SessionTimeoutMs(const FtpSession& s) noexcept;
// Drops a cancel left over from an earlier call (no transfer being open).
void ClearStaleCancel(FtpSession& s) noexcept;

// For its lifetime every wait of the session ends within ms (or by an earlier deadline
// already in force).
class WaitDeadline {
 public:
  WaitDeadline(FtpSession& s, uint32_t ms) noexcept;
  ~WaitDeadline();
  WaitDeadline(const WaitDeadline&) = delete;
  WaitDeadline& operator=(const WaitDeadline&) = delete;

 private:
  FtpSession& s_;
  uint32_t deadline_;
  uint32_t set_;
};

// For its lifetime the session's notifications of the given events carry no errors to the
// caller: they are not fired when they report one. Probes whose refusal is expected and the
// clean-up after a failure that was reported already use it.
class WithheldEvents {
 public:
  WithheldEvents(FtpSession& s, uint32_t events) noexcept : s_(s), previous_(s.quietEvents) {
    s.quietEvents |= events;
  }
  ~WithheldEvents() { s_.quietEvents = previous_; }
  WithheldEvents(const WithheldEvents&) = delete;
  WithheldEvents& operator=(const WithheldEvents&) = delete;

 private:
  FtpSession& s_;
  uint32_t previous_;
};

// Command channel I/O. Send writes the whole of data with timed waits; ReadByte hands out
// received bytes, refilling the input buffer with one receive per wait.
Status ChannelSend(FtpSession& s, const char* data, uint32_t length) noexcept;
Status ChannelReadByte(FtpSession& s, char* c) noexcept;
// Command channel input that waits at most waitMs and reports neither a time-out nor a
// cancel (for the keep-alive thread and for draining): the bytes, 0 when nothing came or
// the channel failed.
int32_t ChannelReceiveQuiet(FtpSession& s, char* buffer, uint32_t length, uint32_t waitMs) noexcept;
// Discards whatever the server sends until it has been quiet for a second.
void ChannelDrainQuiet(FtpSession& s) noexcept;

// Internal forms of the command engine: the reply code of a reply that maps to no error.
// badArgument is the error for an argument holding a line break (10014, or 10008 for a
// file name).
Result<int32_t> SendCommand(FtpSession& s, const char* command, const char* argument,
                            uint32_t badArgument = cvErrorInvalidParameter) noexcept;
Result<int32_t> ReadReply(FtpSession& s) noexcept;
// After a failed command whose reply code was cleared before it went out: no complete
// reply came (a time-out, a cancel, the connection lost, a reply without end), so the
// failure is the channel's and not a server's refusal. Asking the server another way would
// wait on the same channel again and bury the first error.
inline bool ReplyMissing(const FtpSession& s) noexcept {
  return s.replyCode == 0 || s.channelDebt != FtpChannelDebt::None;
}
// The reply of a command that went out is abandoned for now: the next command reads it
// first (and discards it).
void OweReply(FtpSession& s) noexcept;
// Drains the command channel until the server is quiet and sends NOOP (reconnecting when
// that fails): the channel is back in step after an aborted transfer.
Result<int32_t> ResyncCommandChannel(FtpSession& s) noexcept;

// Login and server queries on a validated session.
Result<int32_t> SendUser(FtpSession& s, const char* user) noexcept;
Result<int32_t> SendPassword(FtpSession& s, const char* password) noexcept;
Result<int32_t> SendAccount(FtpSession& s, const char* account) noexcept;
Result<int32_t> Login(FtpSession& s, const char* user, const char* password, const char* account) noexcept;
// The system type; 0 when the server would not say before the login (asked again later).
Result<uint32_t> GetSystemType(FtpSession& s) noexcept;
Result<uint32_t> QueryFeatures(FtpSession& s) noexcept;
Result<int32_t> SendType(FtpSession& s, uint32_t type) noexcept;
// TYPE with the session's own file type, after a listing ran in ASCII.
Result<int32_t> SendSessionType(FtpSession& s) noexcept;
// PWD into the directory cache.
Result<int32_t> QueryWorkingDirectory(FtpSession& s) noexcept;
// PBSZ 0 once a session of a TLS session, before its first PROT; a refusal drops the feature.
void SendPbszOnce(FtpSession& s) noexcept;
// Connects the session again after a broken channel (see FtpReconnect); 200. On failure
// the session is released.
Result<int32_t> Reconnect(FtpSession& s) noexcept;
// The proxy's login sequence of the session's proxy type.
Status ProxyLogin(FtpSession& s) noexcept;

// A host argument (name, literal or URL) normalised into out; a URL's scheme adjusts the
// options and, when *port is 0, its port is taken. False when there is no usable host.
bool TakeHost(const char* text, char (&out)[kFtpHostNameSize], uint32_t& options, uint32_t* port);
// QUIT (unless a data connection is open, an event receiver is ending a running call or
// the command channel has failed) and release.
void Disconnect(FtpSession& s) noexcept;

// Opens a TCP connection to address:port with the session's timeout; the socket stays
// non-blocking with TCP_NODELAY.
Result<SOCKET> OpenConnection(FtpSession& s, const SockAddress& address, uint32_t port) noexcept;
// Closes a channel's socket; a data connection's TLS stage goes with it.
void CloseChannel(FtpSession& s, FtpChannel channel) noexcept;

// Copies text into a fixed field, cut to its size.
template <size_t N>
void CopyField(char (&field)[N], const char* text) noexcept {
  size_t i = 0;
  if (text)
    for (; i + 1 < N && text[i]; ++i) field[i] = text[i];
  field[i] = '\0';
}
inline bool Empty(const char* text) noexcept { return !text || !*text; }

}  // namespace cvftp
