#pragma once
// Inside the SMTP library: its frame, notification engine and TLS stream instances, and
// the helpers its operations share.
#include <atomic>

#include "core/errors/status.h"
#include "mail/common/mail_session.h"
#include "mail/common/mail_tls_calls.h"
#include "mail/common/mail_traits.h"
#include "smtp/smtp.h"

namespace cvsmtp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;
struct NotifyTraits;
using Notify = cvcore::NotifyEngine<NotifyTraits>;
struct TlsTraits;
using Tls = cvmail::TlsStream<TlsTraits>;

struct LibraryState {
  plat::WSADATA startup;
  cvcore::NotifyWindowTable windows;
  std::atomic<uint32_t> mimeAttaches{0};  // attaches of the mail message library held by this one
};

struct FrameTraits : cvmail::MailFrameTraits<FrameTraits, SmtpSession> {
  using Session = SmtpSession;
  using LibraryState = cvsmtp::LibraryState;
  static constexpr const char* kBanner = "Corvanetics Simple Mail Transfer Protocol Library";
  static bool InitSession(Frame&, SmtpSession& s);
  static void BeforeFreeAll(Frame&);
  static void AfterFreeAll(Frame&);
  static void OnProcessDetach(Frame&);
  static void ReleaseSessionLocked(Frame&, SmtpSession& s);
  static void ReleaseSessionUnlocked(Frame&, SmtpSession& s);
};

Frame& Library() noexcept;

struct NotifyTraits : cvmail::MailNotifyTraits<SmtpSession, Frame, &Library> {
  static void OnSocketEvent(SmtpSession& s, SOCKET socket, int32_t fdEvent, uint32_t error);
};

// The SMTP readers always wait for the socket before reading or writing, also while its
// events go to a window: a reply cannot be picked up later from a network event. A
// stream's failure stays in the session until the helper that called the stream takes it.
struct TlsTraits : cvmail::MailTlsTraits<SmtpSession, Frame, &Library> {
  static bool WindowMode(SmtpSession&) { return false; }
  static bool Wait(SmtpSession& s, short events);
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
inline bool Gone(const SmtpSession& s) noexcept { return s.freePending != 0; }
// Stores the session's state and returns the one it replaces (traced).
inline cvmail::MailState SetState(SmtpSession& s, cvmail::MailState next) noexcept {
  return cvmail::ChangeMailState(s.state, next, "SMTP session", s.header.handle);
}

// The failure the session's stream reported (the connection closed when it kept none).
inline Status StreamFailure(SmtpSession& s) noexcept { return TlsTraits::TakeFailure(s); }

// Where an entry point that exchanged commands with the server ends: the last error is 0
// after a success and the failure's code after a failure; the result, or -1.
int32_t FinishExchange(const Result<int32_t>& outcome) noexcept;

// Fires an event (the receiver may release the session: check Gone afterwards). The
// receiver reads the event's error as the last error; the call's own outcome is not
// touched.
void Fire(SmtpSession& s, uint32_t event, uint32_t error) noexcept;

uint32_t TickNow() noexcept;  // never 0 (0 means "not started")
inline bool Positive(int32_t code) noexcept { return code >= 200 && code <= 299; }
inline bool Intermediate(int32_t code) noexcept { return code >= 300 && code <= 399; }

// ---- I/O ----

// The session timeout in milliseconds (20 seconds when 0).
uint32_t TimeoutMs(const SmtpSession& s) noexcept;
// Waits for the socket's events or a cancel. Cancel: cvErrorOperationCanceled and event 32;
// time-out: the timed-out flag, cvErrorOperationTimeout and event 16.
Status WaitSocket(SmtpSession& s, short events) noexcept;
// Sends the whole block (through TLS when active).
Status SendBytes(SmtpSession& s, const char* data, uint32_t length) noexcept;
// Reads into the receive buffer (through TLS when active); 0x80042FE0 when the server
// closed.
Status FillReceiveBuffer(SmtpSession& s) noexcept;

// ---- protocol ----

// A command and its reply: the reply code, or the failure (a refusal the reply table
// names is one).
Result<int32_t> Command(SmtpSession& s, const char* command, const char* argument) noexcept;
// The reply the session waits for.
Result<int32_t> ReadReply(SmtpSession& s) noexcept;
Result<int32_t> SendHello(SmtpSession& s) noexcept;
Result<int32_t> Authenticate(SmtpSession& s, uint32_t method, const char* user, const char* password) noexcept;
// Opens the connection again after a cancelled transfer; on failure the session is
// released.
Status Reconnect(SmtpSession& s) noexcept;
Status SendData(SmtpSession& s, plat::HGLOBAL block, uint32_t length) noexcept;
// The input bytes taken.
Result<int32_t> WriteData(SmtpSession& s, const char* data, uint32_t length) noexcept;
Result<int32_t> EndData(SmtpSession& s) noexcept;
Result<int32_t> Reset(SmtpSession& s) noexcept;
Status SelectSocket(SmtpSession& s, HWND window, UINT message) noexcept;

}  // namespace cvsmtp
