#pragma once
// Inside the IMAP library: its frame, notification engine and TLS stream instances, and
// the helpers its operations share.
#include <functional>
#include <string>
#include <string_view>

#include "core/errors/status.h"
#include "imap/imap.h"
#include "mail/common/mail_session.h"
#include "mail/common/mail_tls_calls.h"
#include "mail/common/mail_traits.h"

namespace cvimap {

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

struct FrameTraits : cvmail::MailFrameTraits<FrameTraits, ImapSession> {
  using Session = ImapSession;
  using LibraryState = cvimap::LibraryState;
  static constexpr const char* kBanner = "Corvanetics Internet Message Access Protocol Library";
  static bool InitSession(Frame&, ImapSession& s);
  static void BeforeFreeAll(Frame&);
  static void AfterFreeAll(Frame&);
  static void OnProcessDetach(Frame&);
  static void ReleaseSessionLocked(Frame&, ImapSession& s);
  static void ReleaseSessionUnlocked(Frame&, ImapSession& s);
};

Frame& Library() noexcept;

struct NotifyTraits : cvmail::MailNotifyTraits<ImapSession, Frame, &Library> {
  static void OnSocketEvent(ImapSession& s, SOCKET socket, int32_t fdEvent, uint32_t error);
};

// A stream's failure stays in the session until the helper that called the stream takes it.
struct TlsTraits : cvmail::MailTlsTraits<ImapSession, Frame, &Library> {
  static bool WindowMode(ImapSession& s);
  static bool Wait(ImapSession& s, short events);
};

using cvcore::Result;
using cvcore::Status;

// ---- operation scopes and outcomes ----

// The session of a handle for the calling thread: its owner, any thread of a
// free-threaded session, or its IDLE thread; 10038 or 10001 otherwise.
Result<ImapSession*> Find(LibHandle handle) noexcept;
// The same for an entry point: null with the error as the last error.
ImapSession* Lookup(LibHandle handle) noexcept;

// Keeps a session alive for the length of a library call: a receiver of an event that
// releases the session only marks it, and the outermost call frees it on the way out. A
// call starts with no stream failure left from an earlier one.
class Operation : public cvmail::SessionScope<NotifyTraits> {
 public:
  explicit Operation(LibHandle handle) noexcept : SessionScope(Lookup(handle)) {
    if (*this) (*this)->tls.failure = 0;
  }
};
using SessionCalls = cvmail::SessionHelpers<NotifyTraits>;

// The TLS calls on a session handle.
using TlsCalls = cvmail::TlsCalls<TlsTraits, Operation>;

// Frees the session now, or when the call under way ends (its connection closes now).
inline void ReleaseOrDefer(LibHandle handle) noexcept { SessionCalls::ReleaseOrDefer(handle); }
inline bool Gone(const ImapSession& s) noexcept { return s.freePending != 0; }
// Stores the session's state and returns the one it replaces (traced).
inline cvmail::MailState SetState(ImapSession& s, cvmail::MailState next) noexcept {
  return cvmail::ChangeMailState(s.state, next, "IMAP session", s.header.handle);
}

// The failure the session's stream reported (the connection closed when it kept none).
inline Status StreamFailure(ImapSession& s) noexcept { return TlsTraits::TakeFailure(s); }
bool OnIdleThread(const ImapSession& s) noexcept;

// The error a response id stands for: 0 (a line the reader does not know) is
// cvErrorUnexpectedServerResponse, NO cvErrorInvalidCommand, BAD
// cvErrorCommandNotImplemented; any other id none.
uint32_t ResponseError(int32_t id) noexcept;

// Where an entry point ends: a failure's code becomes the last error (a success leaves
// it); the result, or -1.
int32_t Finish(const Result<int32_t>& outcome) noexcept;
// Where an entry point that exchanged with the server ends: the last error is 0 after a
// success and the failure's code after a failure; the result, or -1.
int32_t FinishExchange(const Result<int32_t>& outcome) noexcept;
// Where an entry point ends whose result is the id of the response read last: the error
// that response stands for (0 for OK) after a success, the failure's code after a
// failure; the id, or -1.
int32_t FinishResponse(const Result<int32_t>& id) noexcept;
// Where a read ends: the bytes, with the note the read left (the end of a literal, the
// reason input ended early) as the last error; after a failure its code and -1.
int32_t FinishRead(const Result<int32_t>& read, Status note) noexcept;

// Fires an event (never on the IDLE thread; the receiver may release the session: check
// Gone afterwards). The receiver reads the event's error as the last error; the call's own
// outcome is not touched.
void Fire(ImapSession& s, uint32_t event, uint32_t error) noexcept;

// The session logged in (0x80042FC3) / with a mailbox selected (0x8004300D).
Status NeedLogin(ImapSession& s) noexcept;
Status NeedMailbox(ImapSession& s) noexcept;

// ---- I/O ----

uint32_t TimeoutMs(const ImapSession& s) noexcept;
// Waits for the socket's events or a cancel. Cancel: 10004 and event 32; time-out: 10060
// and timeoutEvent (0: none).
Status WaitSocket(ImapSession& s, short events, uint32_t timeoutEvent) noexcept;
// Gives a timed-out session up: closed at once, nothing more written to it.
void GiveUp(ImapSession& s) noexcept;
// The error of a call on a closed session: the time-out that ended it, or the close.
uint32_t ClosedError(const ImapSession& s) noexcept;
bool NonBlockingReads(const ImapSession& s) noexcept;
// Sends the whole block (through TLS when active).
Status SendBytes(ImapSession& s, const char* data, uint32_t length) noexcept;
// Buffered bytes, refilled from the connection when empty.
Result<int32_t> FillReceiveBuffer(ImapSession& s) noexcept;
// Whether bytes are buffered (plain or decrypted) without reading the socket.
bool Buffered(ImapSession& s) noexcept;
// The next piece of a literal, or a line: the bytes stored (0 at the literal's end). The
// end of a literal leaves cvErrorEndofMessageData in *note, and input that ended early
// after some bytes were stored its reason.
Result<int32_t> ReadData(ImapSession& s, char* buffer, Status* note = nullptr) noexcept;
// Takes the bytes of a line past the reader's room: (the line kept so far, the bytes past
// it); called for each piece as it arrives.
using LineOverflow = std::function<void(std::string_view kept, std::string_view rest)>;
// One whole line without its CR LF: its length. A longer line is cut: its rest goes to
// overflow when given, else it is dropped.
Result<int32_t> ReadLine(ImapSession& s, char* line, uint32_t size, const LineOverflow& overflow = nullptr) noexcept;
// Exactly count bytes into out (null: dropped).
Status ReadRaw(ImapSession& s, char* out, uint64_t count) noexcept;
// The bytes written.
Result<int32_t> WriteData(ImapSession& s, const char* data, uint32_t length) noexcept;
inline void PostSocketEvent(ImapSession& s, int32_t fdEvent) noexcept {
  SessionCalls::PostSocketEvent(s, fdEvent);
}

// ---- protocol ----

// The command table's id of a command keyword (0 when not in it).
uint32_t CommandId(const char* command) noexcept;
// A command and the response that completes it: its id (in untagged mode 0, nothing read
// yet). A NO or BAD completion is a failure with the error it stands for.
Result<int32_t> SendCommand(ImapSession& s, const char* command, const char* argument) noexcept;
// The next response: its id (NO, BAD and unknown lines included).
Result<int32_t> ReadResponse(ImapSession& s) noexcept;
int32_t ParseResponse(ImapSession& s, const char* text, bool tagged) noexcept;
// Sends a command whose untagged responses the caller reads one by one (ReadResponse
// returns after each of them).
Status SendUntagged(ImapSession& s, const char* command, const char* argument) noexcept;
// Reads what is left of a command started with SendUntagged, up to its completion (a
// failure there is not the caller's).
void FinishUntagged(ImapSession& s) noexcept;
// The number of "{n}" at the end of text, or -1 when there is none.
int64_t TrailingLiteral(const char* text) noexcept;
// Digits after word (case-insensitive, white space skipped) in text; false when absent.
bool NumberAfter(const char* text, const char* word, uint32_t* value) noexcept;
bool SameText(const char* a, const char* b) noexcept;  // case-insensitive

// A mailbox name as it goes on the wire: kept when it begins with a double quote,
// otherwise modified UTF-7 in double quotes (quotes and backslashes escaped). Empty when
// the name cannot be encoded.
std::string WireMailboxName(const char* name);

// Ends a running IDLE (stop the thread, DONE and its completion): 0 when none ran, or the
// completion's response id.
Result<int32_t> EndIdle(ImapSession& s) noexcept;
// Stops the session's IDLE thread for good without protocol (release, detach).
void StopIdleThread(ImapSession& s) noexcept;

// The id of the selection's completion (0 when the mailbox was selected already).
Result<int32_t> OpenMailbox(ImapSession& s, const char* name, ImapMailboxStatus* status, uint32_t options) noexcept;
Result<int32_t> UnselectMailbox(ImapSession& s, bool expunge) noexcept;
void FreeMailboxList(ImapSession& s) noexcept;
Status OpenMessage(ImapSession& s, uint32_t message, uint32_t flags) noexcept;
Status CloseMessage(ImapSession& s) noexcept;

// Selects the socket's network events to window (null: stop, blocking again).
Status SelectSocket(ImapSession& s, HWND window, UINT message) noexcept;

}  // namespace cvimap
