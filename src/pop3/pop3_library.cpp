// The library's frame instance, session set-up and release, operation scopes and the
// error and event helpers its operations share.
#include "core/frame/frame_entry_points.h"
#include "core/trace/trace.h"
#include "platform/base/last_error.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame&, Pop3Session& s) {
  s.capabilities = 0xFFFFFFFFu;
  s.timeout = 20;
  s.state = kPop3StateIdle;
  return true;
}

void FrameTraits::BeforeFreeAll(Frame&) { Notify::ReleaseWindows(); }
void FrameTraits::AfterFreeAll(Frame&) { TraceDisable(); }
void FrameTraits::OnProcessDetach(Frame&) { Notify::ReleaseWindows(); }
void FrameTraits::ReleaseSessionLocked(Frame&, Pop3Session& s) { Notify::ReleaseSession(s); }

void FrameTraits::ReleaseSessionUnlocked(Frame&, Pop3Session& s) {
  if (s.tls.active && s.header.controlSocket != INVALID_SOCKET) Tls::Shutdown(s);
  cvmail::TlsReset(s.tls);
  SecFreeCredentials(&s.tls.secCredentials);
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  s.header.controlSocket = INVALID_SOCKET;
  if (s.retrievalBlock) plat::GlobalFree(s.retrievalBlock);
  if (s.spareBlock) plat::GlobalFree(s.spareBlock);
  s.retrievalBlock = s.spareBlock = nullptr;
}

Operation::Operation(LibHandle handle, bool ownerCheck) noexcept
    : session_(ownerCheck ? Library().GetSession(handle) : Library().FindSession(handle)) {
  if (session_ && session_->freePending) {
    session_ = nullptr;
    Library().SetLastError(cvErrorInvalidHandle);
    return;
  }
  // A cancel left over from an earlier call does not stop this one.
  if (session_ && session_->operationDepth++ == 0 && session_->cancel.exchange(0)) session_->cancelSignal.Reset();
}

Operation::~Operation() {
  if (!session_) return;
  if (--session_->operationDepth == 0 && session_->freePending) Library().FreeSession(session_->header.handle);
}

void ReleaseOrDefer(LibHandle handle) noexcept {
  Frame& f = Library();
  const uint32_t saved = f.GetLastError();
  Pop3Session* s = f.GetSession(handle);
  f.SetLastError(saved);
  if (s && s->operationDepth > 0) {
    if (!s->freePending) {
      s->freePending = 1;
      // Nothing more goes over the connection; a wait in progress ends at once.
      if (s->header.controlSocket != INVALID_SOCKET) shutdown(int(s->header.controlSocket), SHUT_RDWR);
      s->cancel.store(1);
      s->cancelSignal.Set();
    }
    return;
  }
  f.FreeSession(handle);
}

int32_t Fail(uint32_t code) noexcept {
  Library().SetLastError(code);
  return -1;
}

uint32_t LastError() noexcept { return Library().GetLastError(); }

void ClearError() noexcept { Library().SetLastError(0); }

uint32_t SocketError() noexcept {
  uint32_t e = plat::GetLastError();
  if (e == 0) e = cvErrorConnectionClosed;  // a failure that left no error behind
  Library().SetLastError(e);
  return Library().GetLastError();
}

void Fire(Pop3Session& s, uint32_t event, uint32_t error) noexcept {
  if (Gone(s)) return;
  const uint32_t kept = LastError();
  Notify::Fire(s.header.handle, event, error);
  Library().SetLastError(error ? cvcore::FullErrorCode(error) : kept);
}

}  // namespace cvpop3

CV_FRAME_ENTRY_POINTS(Pop3, Pop3Session, cvpop3::Library)
