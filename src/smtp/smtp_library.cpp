// The library's frame instance with the mail message library attached beside it, session
// set-up and release, operation scopes and the error and event helpers its operations share.
#include <sys/socket.h>

#include "core/trace/trace.h"
#include "mime/mime.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame&, SmtpSession& s) {
  s.timeout = 20;
  s.state = cvmail::MailState::Idle;  // a new record: nothing to trace yet
  return true;
}

void FrameTraits::BeforeFreeAll(Frame&) { Notify::ReleaseWindows(); }
void FrameTraits::AfterFreeAll(Frame&) { TraceDisable(); }
void FrameTraits::OnProcessDetach(Frame&) { Notify::ReleaseWindows(); }
void FrameTraits::ReleaseSessionLocked(Frame&, SmtpSession& s) { Notify::ReleaseSession(s); }

void FrameTraits::ReleaseSessionUnlocked(Frame&, SmtpSession& s) {
  if (s.tls.active && s.header.controlSocket != INVALID_SOCKET) Tls::Shutdown(s);
  cvmail::TlsReset(s.tls);
  SecFreeCredentials(&s.tls.secCredentials);
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  s.header.controlSocket = INVALID_SOCKET;
  explicit_bzero(s.user, sizeof s.user);
  explicit_bzero(s.password, sizeof s.password);
  explicit_bzero(s.commandBuffer, sizeof s.commandBuffer);
}

int32_t FinishExchange(const Result<int32_t>& outcome) noexcept { return Library().FinishClean(outcome, -1); }

void Fire(SmtpSession& s, uint32_t event, uint32_t error) noexcept { SessionCalls::Deliver(s, event, error); }

uint32_t TickNow() noexcept {
  const uint32_t t = plat::GetTickCount();
  return t ? t : 1;
}

}  // namespace cvsmtp

using namespace cvsmtp;

void SmtpProcessAttach(void* module) {
  Library().ProcessAttach(module);
  MimeProcessAttach(module);
}

void SmtpProcessDetach() {
  Library().ProcessDetach();
  MimeProcessDetach();
}

int32_t SmtpAttach(LibVersionInfo* info) {
  // Only a full attach is counted, and only a counted attach holds the mail message library.
  const uint32_t options = info && info->size == sizeof(LibVersionInfo) ? info->options : 0;
  const bool full = options == 0 || (options & kLibAttachFull);
  if (!Library().Attach(info)) return 0;
  if (!full) return 1;
  LibVersionInfo mime{};
  mime.size = sizeof mime;
  if (!MimeAttach(&mime)) {
    const uint32_t error = MimeGetLastError();
    Library().Detach();
    Library().SetLastError(error);
    return 0;
  }
  Library().state().mimeAttaches.fetch_add(1);
  return 1;
}

void SmtpDetach() {
  // Read before the frame's detach: a library set up without a module handle is gone after it.
  auto& held = Library().state().mimeAttaches;
  uint32_t n = held.load();
  const bool release = n > 0 && held.compare_exchange_strong(n, n - 1);
  Library().Detach();
  if (release) MimeDetach();
}

uint32_t SmtpIsInitialized() { return Library().IsInitialized(); }
void SmtpLock() { Library().Lock(); }
void SmtpUnlock() { Library().Unlock(); }
void SmtpSetLastError(uint32_t code) { Library().SetLastError(code); }
uint32_t SmtpGetLastError() { return Library().GetLastError(); }
uint32_t SmtpSetSocketError() { return Library().SetSocketError(); }
uint32_t SmtpGetErrorText(uint32_t code, char* buffer) { return Library().GetErrorText(code, buffer); }
LibHandle SmtpAllocSession() { return Library().AllocSession(); }
void SmtpFreeSession(LibHandle handle) { Library().FreeSession(handle); }
SmtpSession* SmtpGetSession(LibHandle handle) { return Library().GetSession(handle); }
SmtpSession* SmtpFindSession(LibHandle handle) { return Library().FindSession(handle); }
uint32_t SmtpSetHandleOwner(LibHandle handle, uint32_t threadId) { return Library().SetHandleOwner(handle, threadId); }
SmtpSession* SmtpFindSessionBySocket(SOCKET socket) { return Library().FindSessionBySocket(socket); }
