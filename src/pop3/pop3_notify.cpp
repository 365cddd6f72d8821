// Event notification: the library's instance of the notification engine, its own socket
// selection (read and connect events only), and the window procedure's handling of the
// socket's network events (read while a multi-line response is open, close, and the
// completion of an asynchronous connect).
#include "platform/msg/window.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

constexpr int32_t kPop3SocketEvents = plat::FD_READ | plat::FD_CONNECT;

}  // namespace

int32_t SelectSocket(Pop3Session& s, HWND window, UINT message) noexcept {
  const LibHandle h = s.header.handle;
  if (s.notify.Dispatching()) return Fail(cvErrorOperationInProgress);
  if (!window) {
    if (s.notify.socketWindow) return Notify::SelectEvents(h, nullptr, 0);
    s.notify.socketMessage = 0;
    return 0;
  }
  if (!plat::IsWindow(window) || message < cvcore::kNotifyFirstMessage) return Fail(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  if (!Notify::AttachWindow(h, window)) return -1;
  s.notify.socketMessage = message;
  if (SockAsyncSelect(s.header.controlSocket, window, message, kPop3SocketEvents) != 0) {
    SocketError();
    const uint32_t error = LastError();
    Notify::AttachWindow(h, nullptr);
    s.notify.socketMessage = 0;
    return Fail(error);
  }
  return 0;
}

void NotifyTraits::OnSocketEvent(Pop3Session& session, SOCKET, int32_t fdEvent, uint32_t error) {
  const LibHandle h = session.header.handle;
  Operation op(h);
  if (!op) return;
  Pop3Session& s = *op;
  switch (fdEvent) {
    case plat::FD_READ:
      if (s.multiLine && !s.retrieving) Fire(s, cvmail::kMailEventRead, error);
      break;
    case plat::FD_CLOSE:
      Fire(s, cvmail::kMailEventDisconnect, error);
      break;
    case plat::FD_CONNECT:
      if (!error) {
        s.connected = 1;
        if (CompleteConnect(s) != 0) {
          error = LastError();
          if (cvcore::ErrorNumber(error) == cvcore::ErrorNumber(cvErrorUnexpectedServerResponse))
            error = cvErrorInvalidServerResponse;
          if (!error) error = cvErrorConnectionFailed;
        }
      }
      if (!error) SetState(s, cvmail::MailState::Idle);
      Fire(s, cvmail::kMailEventConnect, error);
      if (error) {
        Pop3Disconnect(h);
        Library().SetLastError(error);
      }
      break;
    default:
      break;
  }
}

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3SelectEvents(LibHandle handle, HWND window, UINT message) {
  Operation op(handle);
  if (!op) return -1;
  return SelectSocket(*op, window, message);
}

int32_t Pop3RegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask) {
  Operation op(handle);
  if (!op) return -1;
  if (!window) return Pop3UnregisterMailEvents(handle);
  if (!plat::IsWindow(window) || message < cvcore::kNotifyFirstMessage) return Fail(cvErrorInvalidParameter);
  Pop3Session& s = *op;
  if ((mask & cvmail::kMailNetworkEvents) && !s.notify.socketWindow && s.header.controlSocket != INVALID_SOCKET &&
      SelectSocket(s, window, cvcore::kNotifySocketMessage) != 0)
    return -1;
  return Notify::Register(handle, window, message, mask);
}

int32_t Pop3RegisterWindow(LibHandle handle, HWND window, UINT message) {
  return Pop3RegisterEvents(handle, window, message, 0xFFFFFFFFu);
}

int32_t Pop3UnregisterMailEvents(LibHandle handle) { return Notify::Unregister(handle); }

int32_t Pop3DisableEvents(LibHandle handle) { return Pop3RegisterEvents(handle, nullptr, 0, 0xFFFFFFFFu); }

int32_t Pop3SetEventCallback(LibHandle handle, uint32_t event, cvcore::NotifyCallback callback, uintptr_t parameter) {
  return Notify::SetCallback(handle, event, callback, parameter);
}

int32_t Pop3FreezeEvents(LibHandle handle, uint32_t freeze) { return Notify::Freeze(handle, freeze != 0); }

LRESULT Pop3FireMailEvent(LibHandle handle, uint32_t event, uint32_t error) {
  return Notify::Fire(handle, event, error);
}

LRESULT NotifyPop3WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Notify::WindowProc(window, message, wParam, lParam, 0, 0);
}
