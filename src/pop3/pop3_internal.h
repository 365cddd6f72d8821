#pragma once
// Inside the POP3 library: its frame, notification engine and TLS stream instances, and
// the helpers its operations share.
#include "core/errors/status.h"
#include "mail/common/mail_session.h"
#include "mail/common/mail_tls_calls.h"
#include "mail/common/mail_traits.h"
#include "pop3/pop3.h"

namespace cvpop3 {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;
struct NotifyTraits;
using Notify = cvcore::NotifyEngine<NotifyTraits>;
struct TlsTraits;
using Tls = cvmail::TlsStream<TlsTraits>;

struct LibraryState {
  plat::WSADATA startup;
  cvcore::NotifyWindowTable windows;
};

struct FrameTraits : cvmail::MailFrameTraits<FrameTraits, Pop3Session> {
  using Session = Pop3Session;
  using LibraryState = cvpop3::LibraryState;
  static constexpr const char* kBanner = "Corvanetics Post Office Protocol Library";
  static bool InitSession(Frame&, Pop3Session& s);
  static void BeforeFreeAll(Frame&);
  static void AfterFreeAll(Frame&);
  static void OnProcessDetach(Frame&);
  static void ReleaseSessionLocked(Frame&, Pop3Session& s);
  static void ReleaseSessionUnlocked(Frame&, Pop3Session& s);
};

Frame& Library() noexcept;

struct NotifyTraits : cvmail::MailNotifyTraits<Pop3Session, Frame, &Library> {
  static void OnSocketEvent(Pop3Session& s, SOCKET socket, int32_t fdEvent, uint32_t error);
};

// A stream's failure stays in the session until the helper that called the stream takes it.
struct TlsTraits : cvmail::MailTlsTraits<Pop3Session, Frame, &Library> {
  static bool WindowMode(Pop3Session& s);
  static bool Wait(Pop3Session& s, short events);
};

using cvcore::Result;
using cvcore::Status;

// ---- operation scopes and outcomes ----

// Keeps a session alive for the length of a library call: a receiver of an event that
// releases the session only marks it, and the outermost call frees it on the way out. A
// call starts with no stream failure left from an earlier one.
class Operation : public cvmail::SessionScope<NotifyTraits> {
 public:
  explicit Operation(LibHandle handle, bool ownerCheck = true) noexcept
      : SessionScope(ownerCheck ? Library().GetSession(handle) : Library().FindSession(handle)) {
    if (*this) (*this)->tls.failure = 0;
  }
};
using SessionCalls = cvmail::SessionHelpers<NotifyTraits>;

// The TLS calls on a session handle.
using TlsCalls = cvmail::TlsCalls<TlsTraits, Operation>;

// Frees the session now, or when the call under way ends (its connection closes now).
inline void ReleaseOrDefer(LibHandle handle) noexcept { SessionCalls::ReleaseOrDefer(handle); }
inline bool Gone(const Pop3Session& s) noexcept { return s.freePending != 0; }
// Stores the session's state and returns the one it replaces (traced).
inline cvmail::MailState SetState(Pop3Session& s, cvmail::MailState next) noexcept {
  return cvmail::ChangeMailState(s.state, next, "POP3 session", s.header.handle);
}

// The failure the session's stream reported (the connection closed when it kept none).
inline Status StreamFailure(Pop3Session& s) noexcept { return TlsTraits::TakeFailure(s); }
// A failure, or cvErrorInvalidHandle when an event's receiver released the session.
inline Status GoneOr(const Pop3Session& s, Status failure) noexcept {
  return Gone(s) ? Status(cvErrorInvalidHandle) : failure;
}

// Where an entry point that may exchange with the server ends: the last error is 0 after a
// success and the failure's code after a failure; the result, or onFailure.
int32_t FinishExchange(const Result<int32_t>& outcome, int32_t onFailure = -1) noexcept;
// Where another entry point ends: a failure's code becomes the last error (a success leaves
// it); the result, or onFailure.
int32_t Finish(const Result<int32_t>& outcome, int32_t onFailure = -1) noexcept;

// Where a raw read ends: the bytes, with the reason the input ended early (if it did) as
// the last error; after a failure its code and -1.
int32_t FinishRead(const Result<int32_t>& read, Status cut) noexcept;

// Fires an event (the receiver may release the session: check Gone afterwards). The
// receiver reads the event's error as the last error; the call's own outcome is not
// touched.
void Fire(Pop3Session& s, uint32_t event, uint32_t error) noexcept;

// ---- I/O ----

// The session timeout in milliseconds; 0 seconds is the default 20, or no limit when
// unlimited is set.
uint32_t TimeoutMs(const Pop3Session& s, bool unlimitedWhenZero) noexcept;
// Waits for the socket's events or a cancel. Cancel: cvErrorOperationCanceled and event 32;
// time-out: cvErrorOperationTimeout and timeoutEvent (0: none).
Status WaitSocket(Pop3Session& s, short events, uint32_t timeoutMs, uint32_t timeoutEvent) noexcept;
// Gives a timed-out session up: closed at once, nothing more written to it.
void GiveUp(Pop3Session& s) noexcept;
// Nothing more goes over the session's connection; later calls end at once.
void StopExchanges(Pop3Session& s) noexcept;
// The error of a call on a closed session: the time-out that ended it, or the close.
uint32_t ClosedError(const Pop3Session& s) noexcept;
// The same wait on another socket of the session (the password service's).
Status WaitOn(Pop3Session& s, SOCKET socket, short events, uint32_t timeoutMs, uint32_t timeoutEvent) noexcept;
// Whether reads happen without waiting (the window receives the socket's events).
bool NonBlockingReads(const Pop3Session& s) noexcept;
// Sends the whole block (through TLS when active).
Status SendBytes(Pop3Session& s, const char* data, uint32_t length) noexcept;
// Reads into the receive buffer: the bytes there.
Result<int32_t> FillReceiveBuffer(Pop3Session& s) noexcept;
// Reads a status line, or the next part of a multi-line response (0 at its end): the
// bytes stored. Input that ends early (closed, timed out, nothing more yet in window
// mode) after some bytes were stored hands those out, with the reason in *cut.
Result<int32_t> ReadData(Pop3Session& s, char* buffer, int32_t size, Status* cut = nullptr) noexcept;
// Posts FD_READ (or another network event) for the socket to its window.
inline void PostSocketEvent(Pop3Session& s, int32_t fdEvent) noexcept {
  SessionCalls::PostSocketEvent(s, fdEvent);
}

// ---- protocol ----

// A command and its status line: 1 for "+OK", 0 for "-ERR".
Result<int32_t> SendCommand(Pop3Session& s, const char* command, const char* argument) noexcept;
// The status line the session waits for: 1 for "+OK", 0 for "-ERR".
Result<int32_t> ReadReply(Pop3Session& s) noexcept;
// An answer that must be "+OK": a failure stays, a "-ERR" is refusal.
Status Accepted(const Result<int32_t>& answer, uint32_t refusal) noexcept;
// Finishes a connection whose TCP connect is done: TLS and greeting as the options ask
// (the caller releases the session on failure).
Status CompleteConnect(Pop3Session& s) noexcept;
// Parses the two numbers of a STAT reply into the counters.
void ParseStat(Pop3Session& s) noexcept;
Result<int32_t> GetMessageSize(Pop3Session& s, uint32_t message) noexcept;
Result<int32_t> GetMessageUid(Pop3Session& s, uint32_t message, char* buffer, uint32_t size) noexcept;
Status OpenMessage(Pop3Session& s, uint32_t message, uint32_t flags) noexcept;
Status CloseMessage(Pop3Session& s) noexcept;
Status RetrieveMessage(Pop3Session& s, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) noexcept;
// Deletion marks undone (RSET), the counters back to the last STAT.
Status ResetMailbox(Pop3Session& s) noexcept;
// Raw bytes out, as Pop3Write sends them: the count.
Result<int32_t> Write(Pop3Session& s, const char* data, int32_t size) noexcept;

// Selects FD_READ and FD_CONNECT of the socket to window (null: stop, blocking again).
Status SelectSocket(Pop3Session& s, HWND window, UINT message) noexcept;
// Registers window for the mask's events, routing the socket to it for network events
// (null: no more events).
Status RegisterEvents(Pop3Session& s, HWND window, UINT message, uint32_t mask) noexcept;

}  // namespace cvpop3
