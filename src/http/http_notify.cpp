// Event notification: the library's form of the notification engine, and the window
// procedure's handling of the session socket's network events (completing an asynchronous
// connect, reading a pending response head, reporting readable, writable and closed).
#include "http/http_internal.h"

namespace cvhttp {

void NotifyTraits::OnSocketEvent(HttpClientSession& s, SOCKET, int32_t fdEvent, uint32_t error) {
  const LibHandle h = s.header.handle;
  Operation op(h);
  if (!op) return;
  const bool secure = s.options & kOptSecure;
  if (secure) HttpHoldOtherSessions(h, 1);
  switch (fdEvent) {
    case plat::FD_READ:
      if (s.responsePending) {
        // The outcome of the head (a failure was reported with event 64) is the thread's
        // error the read event finds.
        Library().SetLastError(ReadResponse(s).error());
      }
      if (!Gone(s) && !s.serverClosed) Fire(s, kEventRead, error);
      break;
    case plat::FD_WRITE:
      Fire(s, kEventWrite, error);
      break;
    case plat::FD_CONNECT: {
      if (!error && secure) {
        if (s.proxyType == kProxyTunnel) {
          if (const Status tunneled = TunnelThenTls(s); !tunneled.ok()) {
            if (!Gone(s)) HttpHoldOtherSessions(h, 0);
            ReleaseOrDefer(h);
            Library().SetLastError(tunneled.error());
            return;
          }
        }
        const HWND window = s.notify.socketWindow;
        const UINT message = s.notify.socketMessage;
        DetachWindow(s);
        error = StartTls(s).error();
        AttachWindow(s, window, message);
      }
      if (!error) s.connected = 1;
      Fire(s, kEventConnect, error);
      if (error) {
        // The failed connect's error is what the thread is left with.
        if (!Gone(s)) {
          if (secure) HttpHoldOtherSessions(h, 0);
          ReleaseOrDefer(h);
        }
        Library().SetLastError(error);
        return;
      }
      break;
    }
    case plat::FD_CLOSE:
      Fire(s, kEventDisconnect, error);
      break;
    default:
      break;
  }
  if (secure && !Gone(s)) HttpHoldOtherSessions(h, 0);
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpRegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask) {
  return Notify::Register(handle, window, message, mask);
}

int32_t HttpRegisterWindow(LibHandle handle, HWND window, UINT message) {
  if (!window) return HttpUnregisterEvents(handle);
  return Notify::Register(handle, window, message, 0xFFFFFFFFu);
}

int32_t HttpUnregisterEvents(LibHandle handle) { return Notify::Unregister(handle); }

int32_t HttpSetProgressCallback(LibHandle handle, HttpEventCallback callback, uintptr_t parameter) {
  return Notify::SetCallback(handle, kEventProgress, callback, parameter);
}

LRESULT HttpFireEvent(LibHandle handle, uint32_t event, uint32_t error) {
  if (!HttpGetSession(handle)) return -1;
  return Notify::Fire(handle, event, error);
}

int32_t HttpFreezeEvents(LibHandle handle, uint32_t freeze) { return Notify::Freeze(handle, freeze != 0); }

int32_t HttpSelectEvents(LibHandle handle, HWND window, UINT message) {
  return Notify::SelectEvents(handle, window, message);
}

int32_t HttpHoldOtherSessions(LibHandle handle, uint32_t hold) {
  return Notify::HoldOtherSessions(handle, hold != 0);
}

LRESULT HttpNotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Notify::WindowProc(window, message, wParam, lParam, 0, 0);
}
