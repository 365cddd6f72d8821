// Operation scopes, deferred release, errors, event delivery, socket-window detaching and
// the session-heap texts.
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
  const uint32_t saved = Library().GetLastError();
  HttpClientSession* s = Library().GetSession(handle);
  Library().SetLastError(saved);
  if (s && s->operationDepth > 0) {
    if (!s->freePending) {
      s->freePending = 1;
      CloseConnection(*s);
    }
    return;
  }
  Library().FreeSession(handle);
}

int32_t Fail(uint32_t code) noexcept {
  Library().SetLastError(code);
  return -1;
}

uint32_t TakePlatformError() noexcept {
  uint32_t e = plat::GetLastError();
  if (e == 0) e = cvErrorNetworkNotInitialized;  // a failure that left no error behind
  Library().SetLastError(e);
  return Library().GetLastError();
}

uint32_t LastError() noexcept { return Library().GetLastError(); }

void Fire(HttpClientSession& s, uint32_t event, uint32_t error) noexcept {
  if (Gone(s)) return;
  const uint32_t kept = LastError();
  Notify::Fire(s.header.handle, event, error);
  // The receiver may have run other calls: the caller's error stays what it was.
  Library().SetLastError(error ? error : kept);
}

int32_t FailWithEvent(HttpClientSession& s, uint32_t error, uint32_t event) noexcept {
  Fail(error);
  Fire(s, event, error);
  return Fail(error);
}

void DetachWindow(HttpClientSession& s) noexcept {
  if (!s.notify.socketWindow) return;
  const uint32_t kept = LastError();
  Notify::SelectEvents(s.header.handle, nullptr, 0);
  // The library's own waits need a non-blocking socket.
  if (s.header.controlSocket != INVALID_SOCKET) {
    uint32_t on = 1;
    SockIoctl(s.header.controlSocket, plat::kFionBio, &on);
  }
  Library().SetLastError(kept);
}

void AttachWindow(HttpClientSession& s, HWND window, UINT message) noexcept {
  if (!window || Gone(s) || s.header.controlSocket == INVALID_SOCKET) return;
  const uint32_t kept = LastError();
  Notify::SelectEvents(s.header.handle, window, message);
  Library().SetLastError(kept);
}

WindowDetach::WindowDetach(HttpClientSession& s) noexcept
    : s_(s), window_(s.notify.socketWindow), message_(s.notify.socketMessage) {
  DetachWindow(s);
}

WindowDetach::~WindowDetach() { AttachWindow(s_, window_, message_); }

bool SetText(HttpClientSession& s, HttpText& field, const char* text, size_t length) noexcept {
  FreeText(s, field);
  if (!text) return true;
  if (length >= 0xFFFFFFFFu) return Fail(cvErrorOutOfMemory), false;
  auto* copy = static_cast<char*>(MemSessionAlloc(s.header.handle, length + 1));
  if (!copy) return Fail(cvErrorOutOfMemory), false;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  field.text = copy;
  field.length = uint32_t(length);
  return true;
}

void FreeText(HttpClientSession& s, HttpText& field) noexcept {
  if (field.text) MemSessionFree(s.header.handle, field.text);
  field.text = nullptr;
  field.length = 0;
}

bool EqualNoCase(const char* a, const char* b) noexcept { return a && b && strcasecmp(a, b) == 0; }

}  // namespace cvhttp
