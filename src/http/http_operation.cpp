// Operation scopes, deferred release, the failures taken from the platform and from public
// calls, event delivery, socket-window detaching and the session-heap texts.
#include <strings.h>

#include "http/http_internal.h"
#include "platform/base/last_error.h"

namespace cvhttp {

Operation::Operation(LibHandle handle) noexcept : session_(HttpGetSession(handle)) {
  // A cancel left over from an earlier call does not stop this one.
  if (session_ && session_->operationDepth++ == 0) ClearStaleCancel(*session_);
}

Operation::~Operation() {
  if (!session_ || --session_->operationDepth != 0) return;
  if (session_->freePending)
    Library().FreeSession(session_->header.handle);
  else
    DropOwnHeaders(*session_);
}

void ReleaseOrDefer(LibHandle handle) noexcept {
  const Result<HttpClientSession*> found = Library().LookupOwned(handle);
  HttpClientSession* s = found.value();
  if (s && s->operationDepth > 0) {
    if (!s->freePending) {
      s->freePending = 1;
      CloseConnection(*s);
    }
    return;
  }
  Library().FreeSession(handle);
}

Status PlatformError() noexcept {
  const uint32_t e = plat::GetLastError();
  return Status(e ? e : uint32_t(cvErrorNetworkNotInitialized));
}

Status ReportedError(uint32_t otherwise) noexcept {
  const uint32_t e = Library().GetLastError();
  return Status(e ? e : otherwise);
}

void Fire(HttpClientSession& s, uint32_t event, uint32_t error) noexcept {
  if (Gone(s)) return;
  // The receiver is the host's code and may run calls of its own; what the calling
  // operation ends with is decided by its outcome, so the thread's error is put back.
  const uint32_t kept = Library().GetLastError();
  Notify::Fire(s.header.handle, event, error);
  Library().SetLastError(kept);
}

Status Raise(HttpClientSession& s, uint32_t error, uint32_t event) noexcept {
  Fire(s, event, error);
  return Status(error);
}

namespace {

// The engine's public selection sets the thread's error when it refuses (while an event of
// the session is being delivered); a refused selection is not a failure of the operation
// around it, so the error the operation stands at is put back.
void SelectKeepingError(HttpClientSession& s, HWND window, UINT message) noexcept {
  const uint32_t kept = Library().GetLastError();
  static_cast<void>(Notify::SelectEvents(s.header.handle, window, message));
  Library().SetLastError(kept);
}

}  // namespace

void DetachWindow(HttpClientSession& s) noexcept {
  if (!s.notify.socketWindow) return;
  SelectKeepingError(s, nullptr, 0);
  // The library's own waits need a non-blocking socket.
  if (s.header.controlSocket != INVALID_SOCKET) {
    uint32_t on = 1;
    SockIoctl(s.header.controlSocket, plat::kFionBio, &on);
  }
}

void AttachWindow(HttpClientSession& s, HWND window, UINT message) noexcept {
  if (!window || Gone(s) || s.header.controlSocket == INVALID_SOCKET) return;
  SelectKeepingError(s, window, message);
}

WindowDetach::WindowDetach(HttpClientSession& s) noexcept
    : s_(s), window_(s.notify.socketWindow), message_(s.notify.socketMessage) {
  DetachWindow(s);
}

WindowDetach::~WindowDetach() { AttachWindow(s_, window_, message_); }

Status SetText(HttpClientSession& s, HttpText& field, const char* text, size_t length) noexcept {
  FreeText(s, field);
  if (!text) return {};
  if (length >= 0xFFFFFFFFu) return Status(cvErrorOutOfMemory);
  auto* copy = static_cast<char*>(MemSessionAlloc(s.header.handle, length + 1));
  if (!copy) return Status(cvErrorOutOfMemory);
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  field.text = copy;
  field.length = uint32_t(length);
  return {};
}

void FreeText(HttpClientSession& s, HttpText& field) noexcept {
  if (field.text) MemSessionFree(s.header.handle, field.text);
  field.text = nullptr;
  field.length = 0;
}

bool EqualNoCase(const char* a, const char* b) noexcept { return a && b && strcasecmp(a, b) == 0; }

}  // namespace cvhttp
