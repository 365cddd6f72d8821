// Event notification: the library's instance of the notification engine and its handling
// of the socket's network events (read while a literal is open outside a retrieval, and
// close).
#include "imap/imap_internal.h"
#include "platform/msg/window.h"

namespace cvimap {

Status SelectSocket(ImapSession& s, HWND window, UINT message) noexcept {
  if (!window && !s.notify.socketWindow) {
    s.notify.socketMessage = 0;
    return {};
  }
  return SessionCalls::EngineOutcome(Notify::SelectEvents(s.header.handle, window, message) == 0);
}

void NotifyTraits::OnSocketEvent(ImapSession& session, SOCKET, int32_t fdEvent, uint32_t error) {
  Operation op(session.header.handle);
  if (!op) return;
  ImapSession& s = *op;
  if (fdEvent == plat::FD_READ && s.literalOpen && !s.retrieving)
    SessionCalls::DeliverNetworkEvent(s, cvmail::kMailEventRead, error);
  if (fdEvent == plat::FD_CLOSE) SessionCalls::DeliverNetworkEvent(s, cvmail::kMailEventDisconnect, error);
}

}  // namespace cvimap

using namespace cvimap;

int32_t ImapSelectEvents(LibHandle handle, HWND window, UINT message) {
  Operation op(handle);
  if (!op) return -1;
  return Library().Finish(SelectSocket(*op, window, message), 0, -1);
}

int32_t ImapRegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask) {
  return Notify::Register(handle, window, message, mask);
}

int32_t ImapRegisterWindow(LibHandle handle, HWND window, UINT message) {
  return ImapRegisterEvents(handle, window, message, 0xFFFFFFFFu);
}

int32_t ImapUnregisterMailEvents(LibHandle handle) { return Notify::Unregister(handle); }

int32_t ImapDisableEvents(LibHandle handle) { return ImapRegisterEvents(handle, nullptr, 0, 0xFFFFFFFFu); }

int32_t ImapSetEventCallback(LibHandle handle, uint32_t event, cvcore::NotifyCallback callback, uintptr_t parameter) {
  return Notify::SetCallback(handle, event, callback, parameter);
}

int32_t ImapFreezeEvents(LibHandle handle, uint32_t freeze) { return Notify::Freeze(handle, freeze != 0); }

LRESULT NotifyFireImapEvent(LibHandle handle, uint32_t event, uint32_t error) {
  ImapSession* s = Library().FindSession(handle);
  if (!s) return -1;
  if (OnIdleThread(*s)) return 0;
  return Notify::Fire(handle, event, error);
}

LRESULT NotifyImapWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Notify::WindowProc(window, message, wParam, lParam, 0, 0);
}
