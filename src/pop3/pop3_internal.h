#pragma once
// Inside the POP3 library: its frame, notification engine and TLS stream instances, and
// the helpers its operations share.
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

struct TlsTraits : cvmail::MailTlsTraits<Pop3Session, Frame, &Library> {
  static bool WindowMode(Pop3Session& s);
  static bool Wait(Pop3Session& s, short events);
};

// ---- operation scopes and errors ----

// Keeps a session alive for the length of a library call: a receiver of an event that
// releases the session only marks it, and the outermost call frees it on the way out.
class Operation : public cvmail::SessionScope<NotifyTraits> {
 public:
  explicit Operation(LibHandle handle, bool ownerCheck = true) noexcept
      : SessionScope(ownerCheck ? Library().GetSession(handle) : Library().FindSession(handle)) {}
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

int32_t Fail(uint32_t code) noexcept;  // sets the last error; -1
uint32_t LastError() noexcept;
void ClearError() noexcept;
// The outcome of a shared mail helper made the last error (this library's own helpers
// still keep their failure there). True on success.
inline bool Report(cvcore::Status outcome) noexcept { return SessionCalls::Report(outcome); }
inline cvcore::Status KeptFailure() noexcept { return SessionCalls::KeptFailure(); }
// The thread's socket error as the last error (never 0).
inline uint32_t SocketError() noexcept {
  Report(SessionCalls::SocketFailure());
  return Library().GetLastError();
}

// Fires an event (the receiver may release the session: check Gone afterwards). The
// caller's last error is the event's error, or what it was.
void Fire(Pop3Session& s, uint32_t event, uint32_t error) noexcept;

// ---- I/O ----

// The session timeout in milliseconds; 0 seconds is the default 20, or no limit when
// unlimited is set.
uint32_t TimeoutMs(const Pop3Session& s, bool unlimitedWhenZero) noexcept;
// Waits for the socket's events or a cancel. Cancel: cvErrorOperationCanceled and event 32;
// time-out: cvErrorOperationTimeout and timeoutEvent (0: none); false with the error.
bool WaitSocket(Pop3Session& s, short events, uint32_t timeoutMs, uint32_t timeoutEvent) noexcept;
// Gives a timed-out session up: closed at once, nothing more written to it.
void GiveUp(Pop3Session& s) noexcept;
// Nothing more goes over the session's connection; later calls end at once.
void StopExchanges(Pop3Session& s) noexcept;
// The error of a call on a closed session: the time-out that ended it, or the close.
uint32_t ClosedError(const Pop3Session& s) noexcept;
// The same wait on another socket of the session (the password service's).
bool WaitOn(Pop3Session& s, SOCKET socket, short events, uint32_t timeoutMs, uint32_t timeoutEvent) noexcept;
// Whether reads happen without waiting (the window receives the socket's events).
bool NonBlockingReads(const Pop3Session& s) noexcept;
// Sends the whole block (through TLS when active). False with the error.
bool SendBytes(Pop3Session& s, const char* data, uint32_t length) noexcept;
int32_t FillReceiveBuffer(Pop3Session& s) noexcept;
int32_t ReadData(Pop3Session& s, char* buffer, int32_t size) noexcept;
// Posts FD_READ (or another network event) for the socket to its window.
inline void PostSocketEvent(Pop3Session& s, int32_t fdEvent) noexcept {
  SessionCalls::PostSocketEvent(s, fdEvent);
}

// ---- protocol ----

int32_t SendCommand(Pop3Session& s, const char* command, const char* argument) noexcept;
int32_t ReadReply(Pop3Session& s) noexcept;
// Finishes a connection whose TCP connect is done: TLS and greeting as the options ask.
// 0, or -1 with the error (the caller releases the session).
int32_t CompleteConnect(Pop3Session& s) noexcept;
// Parses the two numbers of a STAT reply into the counters.
void ParseStat(Pop3Session& s) noexcept;
int32_t GetMessageSize(Pop3Session& s, uint32_t message) noexcept;
int32_t GetMessageUid(Pop3Session& s, uint32_t message, char* buffer, uint32_t size) noexcept;
int32_t OpenMessage(Pop3Session& s, uint32_t message, uint32_t flags) noexcept;
int32_t CloseMessage(Pop3Session& s) noexcept;
int32_t RetrieveMessage(Pop3Session& s, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) noexcept;

// Selects FD_READ and FD_CONNECT of the socket to window (null: stop, blocking again).
int32_t SelectSocket(Pop3Session& s, HWND window, UINT message) noexcept;

}  // namespace cvpop3
