// Event notification: the library's instance of the notification engine and the window
// procedure's handling of the socket's network events (read and close).
#include "platform/msg/window.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

Status SelectSocket(SmtpSession& s, HWND window, UINT message) noexcept {
  return SessionCalls::EngineOutcome(Notify::SelectEvents(s.header.handle, window, message) == 0);
}

void NotifyTraits::OnSocketEvent(SmtpSession& session, SOCKET, int32_t fdEvent, uint32_t error) {
  Operation op(session.header.handle);
  if (!op) return;
  if (fdEvent == plat::FD_READ) SessionCalls::DeliverNetworkEvent(*op, cvmail::kMailEventRead, error);
  else if (fdEvent == plat::FD_CLOSE) SessionCalls::DeliverNetworkEvent(*op, cvmail::kMailEventDisconnect, error);
}

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpSelectEvents(LibHandle handle, HWND window, UINT message) {
  Operation op(handle);
  if (!op) return -1;
  return Library().Finish(SelectSocket(*op, window, message), 0, -1);
}

int32_t SmtpRegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask) {
  Operation op(handle);
  if (!op) return -1;
  return Notify::Register(handle, window, message, mask);
}

int32_t SmtpRegisterWindow(LibHandle handle, HWND window, UINT message) {
  return SmtpRegisterEvents(handle, window, message, 0xFFFFFFFFu);
}

int32_t SmtpUnregisterMailEvents(LibHandle handle) { return Notify::Unregister(handle); }

int32_t SmtpSetEventCallback(LibHandle handle, uint32_t event, cvcore::NotifyCallback callback, uintptr_t parameter) {
  return Notify::SetCallback(handle, event, callback, parameter);
}

int32_t SmtpFreezeEvents(LibHandle handle, uint32_t freeze) { return Notify::Freeze(handle, freeze != 0); }

LRESULT SmtpFireMailEvent(LibHandle handle, uint32_t event, uint32_t error) {
  return Notify::Fire(handle, event, error);
}

LRESULT NotifySmtpWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Notify::WindowProc(window, message, wParam, lParam, 0, 0);
}
