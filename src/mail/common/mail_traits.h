#pragma once
// The parts of a mail library's frame, notification and TLS traits that are the same in
// SMTP, POP3 and IMAP; each library derives its traits from these and adds its own.
// The session record has header (handle, controlSocket), notify, tls, host and options;
// the library state has startup and windows.
#include <cstdint>
#include <utility>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "core/frame/frame.h"
#include "core/notify/notify_engine.h"
#include "core/notify/window_table.h"
#include "core/sock/sock.h"
#include "mail/common/mail_events.h"
#include "mail/common/mail_tls.h"
#include "platform/base/last_error.h"

namespace cvmail {

// Derived: the library's FrameTraits (CRTP), which adds Session, LibraryState, kBanner and
// the session hooks.
template <typename Derived, typename SessionT>
struct MailFrameTraits {
  using Frame = cvcore::LibraryFrame<Derived>;
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static HWND WindowOf(const SessionT& s) { return s.notify.socketWindow; }
};

// The library adds OnSocketEvent.
template <typename SessionT, typename FrameT, FrameT& (*LibraryOf)() noexcept>
struct MailNotifyTraits {
  using Frame = FrameT;
  using Session = SessionT;
  static constexpr int kEventCount = kMailEventSlots;
  static constexpr uint32_t kNetworkEvents = kMailNetworkEvents;
  // Every read and write of a mail session waits first (its time-out and cancel): a socket
  // call itself must never block, also once the socket is no longer routed to a window.
  static constexpr bool kStaysNonBlocking = true;
  static Frame& Library() { return LibraryOf(); }
  static cvcore::NotifyRegistration<kEventCount>& Registration(Session& s) { return s.notify; }
  static cvcore::NotifyWindowTable& Windows() { return LibraryOf().state().windows; }
  static SOCKET EventSocket(Session& s) { return s.header.controlSocket; }
};

// The TlsStream and TlsCalls traits but WindowMode and Wait, which the library adds. A
// stream's failure is kept in the session's TLS state until the helper that called the
// stream takes it (or, for the library's TLS calls, makes it the last error).
template <typename SessionT, typename FrameT, FrameT& (*LibraryOf)() noexcept>
struct MailTlsTraits {
  using Session = SessionT;
  static FrameT& Library() { return LibraryOf(); }
  static TlsState& Tls(Session& s) { return s.tls; }
  static SOCKET Socket(Session& s) { return s.header.controlSocket; }
  static void SetError(Session& s, uint32_t code) { s.tls.failure = code; }
  static uint32_t GetError(Session& s) { return s.tls.failure; }
  static uint32_t SetSocketError(Session& s) {
    const uint32_t e = plat::GetLastError();
    return s.tls.failure = e ? (kCvErrorBase | e) : 0;
  }
  static cvcore::Status TakeFailure(Session& s) {
    const uint32_t code = std::exchange(s.tls.failure, 0);
    return cvcore::Status(code ? code : cvErrorConnectionClosed);
  }
  static void Publish(Session& s) {
    if (s.tls.failure) LibraryOf().SetLastError(std::exchange(s.tls.failure, 0));
  }
  static const char* Host(Session& s) { return s.host; }
  static uint32_t Options(Session& s) { return s.options; }
};

}  // namespace cvmail
