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

Status SelectSocket(Pop3Session& s, HWND window, UINT message) noexcept {
  const LibHandle h = s.header.handle;
  if (s.notify.Dispatching()) return Status(cvErrorOperationInProgress);
  if (!window) {
    if (s.notify.socketWindow) return SessionCalls::EngineOutcome(Notify::SelectEvents(h, nullptr, 0) == 0);
    s.notify.socketMessage = 0;
    return {};
  }
  if (!plat::IsWindow(window) || message < cvcore::kNotifyFirstMessage) return Status(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (!Notify::AttachWindow(h, window)) return SessionCalls::EngineOutcome(false);
  s.notify.socketMessage = message;
  if (SockAsyncSelect(s.header.controlSocket, window, message, kPop3SocketEvents) != 0) {
    const Status failed = SessionCalls::SocketFailure();
    Notify::AttachWindow(h, nullptr);
    s.notify.socketMessage = 0;
    return failed;
  }
  return {};
}

Status RegisterEvents(Pop3Session& s, HWND window, UINT message, uint32_t mask) noexcept {
  const LibHandle h = s.header.handle;
  if (!window) return SessionCalls::EngineOutcome(Notify::Unregister(h) == 0);
  if (!plat::IsWindow(window) || message < cvcore::kNotifyFirstMessage) return Status(cvErrorInvalidParameter);
  if ((mask & cvmail::kMailNetworkEvents) && !s.notify.socketWindow && s.header.controlSocket != INVALID_SOCKET)
    if (const Status selected = SelectSocket(s, window, cvcore::kNotifySocketMessage); !selected.ok()) return selected;
  return SessionCalls::EngineOutcome(Notify::Register(h, window, message, mask) == 0);
}

void NotifyTraits::OnSocketEvent(Pop3Session& session, SOCKET, int32_t fdEvent, uint32_t error) {
  const LibHandle h = session.header.handle;
  Operation op(h);
  if (!op) return;
  Pop3Session& s = *op;
  switch (fdEvent) {
    case plat::FD_READ:
      if (s.multiLine && !s.retrieving) SessionCalls::DeliverNetworkEvent(s, cvmail::kMailEventRead, error);
      break;
    case plat::FD_CLOSE:
      SessionCalls::DeliverNetworkEvent(s, cvmail::kMailEventDisconnect, error);
      break;
    case plat::FD_CONNECT:
      if (!error) {
        s.connected = 1;
        if (const Status completed = CompleteConnect(s); !completed.ok()) {
          error = completed.error();
          if (cvcore::ErrorNumber(error) == cvcore::ErrorNumber(cvErrorUnexpectedServerResponse))
            error = cvErrorInvalidServerResponse;
        }
      }
      if (!error) SetState(s, cvmail::MailState::Idle);
      Fire(s, cvmail::kMailEventConnect, error);
      if (error) Pop3Disconnect(h);
      // The host's thread hears how the connect ended, as a blocking connect would tell it.
      Library().SetLastError(error);
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
  return Library().Finish(SelectSocket(*op, window, message), 0, -1);
}

int32_t Pop3RegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask) {
  Operation op(handle);
  if (!op) return -1;
  return Library().Finish(RegisterEvents(*op, window, message, mask), 0, -1);
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
