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
  s.state = cvmail::MailState::Idle;  // a new record: nothing to trace yet
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

int32_t FinishExchange(const Result<int32_t>& outcome, int32_t onFailure) noexcept {
  return Library().FinishClean(outcome, onFailure);
}

int32_t Finish(const Result<int32_t>& outcome, int32_t onFailure) noexcept {
  return Library().Finish(outcome, onFailure);
}

int32_t FinishRead(const Result<int32_t>& read, Status cut) noexcept {
  if (!read.ok()) return Finish(read);
  if (!cut.ok()) Library().SetLastError(cut.error());
  return read.value();
}

void Fire(Pop3Session& s, uint32_t event, uint32_t error) noexcept { SessionCalls::Deliver(s, event, error); }

}  // namespace cvpop3

CV_FRAME_ENTRY_POINTS(Pop3, Pop3Session, cvpop3::Library)
