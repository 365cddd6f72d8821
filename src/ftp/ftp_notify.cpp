// The FTP library's event registration and delivery on the notification engine, and the
// data socket's network events turned into library events.
#include "ftp/ftp_notify.h"

#include "ftp/ftp_internal.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

uint32_t NotifyTraits::SelectRefusal(FtpSession& s) {
  if (s.options & kOptSftp) return cvErrorOperationNotSupported;
  if (s.dataSocket == INVALID_SOCKET) return cvErrorConnectionClosed;
  return 0;
}

void NotifyTraits::OnSocketEvent(FtpSession& s, SOCKET socket, int32_t fdEvent, uint32_t error) {
  Operation op(s.header.handle);  // a receiver may free the session
  if (!op) return;
  const bool data = socket == s.dataSocket;
  switch (fdEvent) {
    case plat::FD_READ:
      if (!data) return;
      // Pre-read: the receiver finds the data buffered, or the failure when it reads.
      if (!error) static_cast<void>(FillReceiveBuffer(s));
      if (!Gone(s)) FireEvent(s, kEventDataReadable, error);
      return;
    case plat::FD_WRITE:
      if (!data) return;
      // What does not go now goes with the next write, which reports its failure.
      if (!error) static_cast<void>(FlushSendBuffer(s, false));
      if (!Gone(s)) FireEvent(s, kEventDataWritable, error);
      return;
    case plat::FD_CONNECT:
      if (data) {
        FireEvent(s, kEventDataConnected, error);
      } else if (!error) {
        s.connected = 1;
        SetState(s, FtpState::Idle);
        FireEvent(s, kEventConnected, 0);
      }
      return;
    case plat::FD_CLOSE:
      if (data) FireEvent(s, kEventDataClosed, error);
      return;
    default:
      return;
  }
}

void FireEvent(FtpSession& s, uint32_t event, uint32_t error) noexcept {
  if (Gone(s)) return;
  if (error && (s.quietEvents & event)) return;
  Notify::Fire(s.header.handle, event, error);
}

Status SelectDataEvents(FtpSession& s, HWND window, uint32_t message) noexcept {
  if (const Status selected = Notify::Select(s, window, message); !selected.ok()) return selected;
  // The library's own waits need a non-blocking socket whether selected or not.
  if (!window && s.dataSocket != INVALID_SOCKET) {
    uint32_t on = 1;
    SockIoctl(s.dataSocket, plat::kFionBio, &on);
  }
  return {};
}

}  // namespace cvftp

using cvftp::Notify;
using cvftp::Operation;

int32_t FtpRegisterEvents(LibHandle handle, HWND window, uint32_t message, uint32_t mask) {
  Operation op(handle);
  if (!op) return -1;
  if (!window) return Notify::Unregister(handle);
  // A receiver changing the registration it is being called through.
  if (op.session()->notify.Dispatching())
    return cvftp::Library().Finish(cvftp::Status(cvErrorOperationInProgress), 0, -1);
  return Notify::Register(handle, window, message, mask);
}

int32_t FtpRegisterAllEvents(LibHandle handle, HWND window, uint32_t message) {
  return FtpRegisterEvents(handle, window, message, 0xFFFFFFFFu);
}

int32_t FtpUnregisterEvents(LibHandle handle) {
  Operation op(handle);
  return op ? Notify::Unregister(handle) : -1;
}

int32_t FtpSetProgressCallback(LibHandle handle, FtpEventCallback callback, uintptr_t parameter) {
  Operation op(handle);
  return op ? Notify::SetCallback(handle, cvftp::kEventProgress, callback, parameter) : -1;
}

LRESULT FtpFireEvent(LibHandle handle, uint32_t event, uint32_t error) {
  Operation op(handle);
  if (!op) return -1;
  return Notify::Fire(handle, event, error);
}

int32_t FtpFreezeEvents(LibHandle handle, uint32_t hold) {
  Operation op(handle);
  return op ? Notify::Freeze(handle, hold != 0) : -1;
}

int32_t FtpSelectDataEvents(LibHandle handle, HWND window, uint32_t message) {
  Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::SelectDataEvents(*op.session(), window, message), 0, -1) : -1;
}

int32_t NotifyAttachWindow(LibHandle handle, HWND window) {
  Operation op(handle);
  return op ? Notify::AttachWindow(handle, window) : 0;
}

void NotifyReleaseWindows() { Notify::ReleaseWindows(); }

LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Notify::WindowProc(window, message, wParam, lParam, 0, 0);
}
