// The library's frame instance, session set-up and release, operation scopes and the
// error and event helpers its operations share.
#include <sys/socket.h>

#include <vector>

#include "core/trace/trace.h"
#include "imap/imap_internal.h"
#include "platform/base/last_error.h"
#include "platform/base/thread.h"

namespace cvimap {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame&, ImapSession& s) {
  s.timeout = 20;
  s.state = cvmail::MailState::Idle;  // a new record: nothing to trace yet
  return true;
}

void FrameTraits::BeforeFreeAll(Frame&) { Notify::ReleaseWindows(); }
void FrameTraits::AfterFreeAll(Frame&) { TraceDisable(); }
void FrameTraits::OnProcessDetach(Frame&) { Notify::ReleaseWindows(); }

void FrameTraits::ReleaseSessionLocked(Frame&, ImapSession& s) {
  Notify::ReleaseSession(s);
  // The IDLE thread learns at once that it has to go; it is joined below, outside the table.
  if (s.idleWorker) {
    s.idleState.store(kImapIdleStopRequested);
    s.idleStop.Set();
    // A read the thread is in the middle of ends at once too: the connection goes anyway.
    if (s.header.controlSocket != INVALID_SOCKET) shutdown(int(s.header.controlSocket), SHUT_RDWR);
  }
}

void FrameTraits::ReleaseSessionUnlocked(Frame&, ImapSession& s) {
  StopIdleThread(s);
  if (s.tls.active && s.header.controlSocket != INVALID_SOCKET) Tls::Shutdown(s);
  cvmail::TlsReset(s.tls);
  SecFreeCredentials(&s.tls.secCredentials);
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  s.header.controlSocket = INVALID_SOCKET;
  if (s.retrievalBlock) plat::GlobalFree(s.retrievalBlock);
  s.retrievalBlock = nullptr;
  FreeMailboxList(s);
}

void StopIdleThread(ImapSession& s) noexcept {
  std::shared_ptr<plat::Thread> worker = std::move(s.idleWorker);
  if (!worker) return;
  s.idleState.store(kImapIdleStopRequested);
  s.idleStop.Set();
  // The thread itself may be the one releasing (from its update callback).
  if (worker->id() != plat::GetCurrentThreadId()) worker->Join();
  s.idleThread.store(0);
  s.idleState.store(kImapIdleNone);
  s.idleChanged.Set();
}

bool OnIdleThread(const ImapSession& s) noexcept {
  const uint32_t id = s.idleThread.load();
  return id != 0 && id == plat::GetCurrentThreadId();
}

Result<ImapSession*> Find(LibHandle handle) noexcept {
  const Result<ImapSession*> found = Library().Lookup(handle);
  if (!found.ok()) return found;
  ImapSession* s = found.value();
  if ((s->options & kImapOptionFreeThreaded) || s->header.ownerThread == plat::GetCurrentThreadId() ||
      OnIdleThread(*s))
    return s;
  return Status(cvErrorNotHandleOwner);
}

ImapSession* Lookup(LibHandle handle) noexcept { return Library().Finish(Find(handle), nullptr); }

uint32_t ResponseError(int32_t id) noexcept {
  switch (id) {
    case 0:
      return cvErrorUnexpectedServerResponse;
    case int32_t(kImapResponseNo):
      return cvErrorInvalidCommand;
    case int32_t(kImapResponseBad):
      return cvErrorCommandNotImplemented;
    default:
      return 0;
  }
}

int32_t Finish(const Result<int32_t>& outcome) noexcept { return Library().Finish(outcome, -1); }

int32_t FinishExchange(const Result<int32_t>& outcome) noexcept { return Library().FinishClean(outcome, -1); }

int32_t FinishResponse(const Result<int32_t>& id) noexcept {
  Library().SetLastError(id.ok() ? ResponseError(id.value()) : id.error());
  return id.ok() ? id.value() : -1;
}

int32_t FinishRead(const Result<int32_t>& read, Status note) noexcept {
  if (!read.ok()) return Finish(read);
  if (!note.ok()) Library().SetLastError(note.error());
  return read.value();
}

void Fire(ImapSession& s, uint32_t event, uint32_t error) noexcept {
  // The IDLE thread never reports: its caller's window belongs to the owner thread.
  if (OnIdleThread(s)) return;
  SessionCalls::Deliver(s, event, error);
}

Status NeedLogin(ImapSession& s) noexcept { return s.loggedIn ? Status() : Status(cvErrorAuthenticationRequired); }

Status NeedMailbox(ImapSession& s) noexcept {
  if (const Status login = NeedLogin(s); !login.ok()) return login;
  return s.mailboxSelected ? Status() : Status(cvErrorMailboxNotSelected);
}

}  // namespace cvimap

using namespace cvimap;

void ImapProcessAttach(void* module) { Library().ProcessAttach(module); }
void ImapProcessDetach() { Library().ProcessDetach(); }
int32_t ImapAttach(LibVersionInfo* info) { return Library().Attach(info); }

void ImapDetach() {
  // The last detach frees every session under the library lock; IDLE threads are stopped
  // before that, so that none of them can be waiting for the lock while it is joined.
  Frame& f = Library();
  const uint32_t saved = f.GetLastError();
  if (f.IsInitialized() == 1) {
    std::vector<std::shared_ptr<plat::Thread>> workers;
    f.ForEachSession([&](ImapSession& s) {
      if (!s.idleWorker) return;
      s.idleState.store(kImapIdleStopRequested);
      s.idleStop.Set();
      if (s.header.controlSocket != INVALID_SOCKET) shutdown(int(s.header.controlSocket), SHUT_RDWR);
      workers.push_back(s.idleWorker);
    });
    for (auto& w : workers)
      if (w->id() != plat::GetCurrentThreadId()) w->Join();
  }
  f.SetLastError(saved);
  f.Detach();
}

uint32_t ImapIsInitialized() { return Library().IsInitialized(); }
void ImapLock() { Library().Lock(); }
void ImapUnlock() { Library().Unlock(); }
void ImapSetLastError(uint32_t code) { Library().SetLastError(code); }
uint32_t ImapGetLastError() { return Library().GetLastError(); }
uint32_t ImapSetSocketError() { return Library().SetSocketError(); }
uint32_t ImapGetErrorText(uint32_t code, char* buffer) { return Library().GetErrorText(code, buffer); }
LibHandle ImapAllocSession() { return Library().AllocSession(); }
void ImapFreeSession(LibHandle handle) { ReleaseOrDefer(handle); }
ImapSession* ImapGetSession(LibHandle handle) { return Lookup(handle); }
ImapSession* ImapFindSession(LibHandle handle) { return Library().FindSession(handle); }
uint32_t ImapSetHandleOwner(LibHandle handle, uint32_t threadId) { return Library().SetHandleOwner(handle, threadId); }
ImapSession* ImapFindSessionBySocket(SOCKET socket) { return Library().FindSessionBySocket(socket); }
