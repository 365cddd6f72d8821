#pragma once
// The per-call session scope, deferred release and error helpers of a mail library,
// written once over the library's notification traits:
//   using Frame = ...;  using Session = ...;  static Frame& Library();
// The session record has header (handle, controlSocket), operationDepth, freePending,
// cancel and cancelSignal.
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "core/frame/lib_types.h"
#include "core/notify/notify_engine.h"
#include "core/sock/sock.h"
#include "core/url/sock_address.h"
#include "mail/common/mail_connect.h"
#include "mail/common/mail_events.h"
#include "mail/common/mail_tls.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"

namespace cvmail {

template <typename Traits>
class SessionScope {
 public:
  using Session = typename Traits::Session;

  // Takes a session found for the call (null: none, the error is set); a session already
  // released is none.
  explicit SessionScope(Session* found) noexcept : session_(found) {
    if (session_ && session_->freePending) {
      session_ = nullptr;
      Traits::Library().SetLastError(cvErrorInvalidHandle);
      return;
    }
    // A cancel left over from an earlier call does not stop this one.
    if (session_ && session_->operationDepth++ == 0 && session_->cancel.exchange(0)) session_->cancelSignal.Reset();
  }
  ~SessionScope() {
    if (!session_) return;
    if (--session_->operationDepth == 0 && session_->freePending)
      Traits::Library().FreeSession(session_->header.handle);
  }
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;
  explicit operator bool() const noexcept { return session_ != nullptr; }
  Session& operator*() const noexcept { return *session_; }
  Session* operator->() const noexcept { return session_; }

 private:
  Session* session_;
};

// The helpers return their outcome; the library's entry point makes a failure its last
// error.
template <typename Traits>
struct SessionHelpers {
  using Session = typename Traits::Session;

  // The session's cancel flag once a wait has reported the cancel (a request is 1).
  static constexpr uint32_t kCancelReported = 2;

  // Frees the session now, or when the call under way ends (its connection closes now).
  static void ReleaseOrDefer(LibHandle handle) noexcept {
    auto& f = Traits::Library();
    const cvcore::Result<Session*> found = f.LookupOwned(handle);
    Session* s = found.ok() ? found.value() : nullptr;
    if (s && s->operationDepth > 0) {
      if (!s->freePending) {
        s->freePending = 1;
        // Nothing more goes over the connection; a wait in progress ends at once.
        if (s->header.controlSocket != INVALID_SOCKET) shutdown(int(s->header.controlSocket), SHUT_RDWR);
        s->cancel.store(1);
        s->cancelSignal.Set();
      }
      return;
    }
    f.FreeSession(handle);
  }

  // How a session's wait reports its end.
  struct WaitRules {
    uint32_t timeoutMs;
    uint32_t timeoutEvent;  // fired on a time-out; 0: none
    bool watchCancel;       // false: the session's cancel is not this wait's business
  };

  // Waits for the socket's events, a cancel or the time-out (plat::BlockingWait: the host's
  // loop runs meanwhile and may cancel the call, even where the session's cancel is not
  // watched). Cancel: 10004 and event 32; time-out: onTimeout(), 10060 and the rules'
  // event. fire(session, event, error) is the library's.
  template <typename Fire, typename OnTimeout>
  static cvcore::Status Wait(Session& s, SOCKET sock, short events, const WaitRules& rules, Fire&& fire,
                             OnTimeout&& onTimeout) noexcept {
    if (sock == INVALID_SOCKET || s.freePending) return cvcore::Status(cvErrorConnectionClosed);
    auto canceled = [&]() {
      s.busy.store(0);
      // The cancel stays for the rest of the call, whose later waits end at once and
      // quietly: one cancel, one event. The next call starts without it (SessionScope).
      const bool reported = s.cancel.exchange(kCancelReported) == kCancelReported;
      s.cancelSignal.Set();
      if (!reported) fire(s, kMailEventCancel, cvErrorOperationCanceled);
      return cvcore::Status(cvErrorOperationCanceled);
    };
    if (rules.watchCancel && s.cancel.load()) return canceled();
    pollfd fds[2] = {{int(sock), events, 0}, {s.cancelSignal.fd(), POLLIN, 0}};
    s.busy.store(1);
    const plat::WaitResult r = plat::BlockingWait(fds, rules.watchCancel ? 2 : 1, rules.timeoutMs);
    s.busy.store(0);
    if (s.freePending) return cvcore::Status(cvErrorInvalidHandle);
    if ((rules.watchCancel && s.cancel.load()) || plat::WaitCanceled(r)) return canceled();
    switch (r.status) {
      case plat::WaitStatus::Ready:
        return {};
      case plat::WaitStatus::Timeout:
        onTimeout();
        if (rules.timeoutEvent) fire(s, rules.timeoutEvent, cvErrorOperationTimeout);
        return cvcore::Status(cvErrorOperationTimeout);
      default:
        return SocketFailure();
    }
  }

  // A new session for a connect: its port, time-out (0: 20 seconds), options and host are
  // set, then open(session, handle) runs inside a call scope of type Operation; when it
  // fails the session is released. The handle.
  template <typename Operation, typename Open>
  static cvcore::Result<LibHandle> OpenSession(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                                               Open&& open) noexcept {
    const LibHandle h = Traits::Library().AllocSession();
    if (h == kInvalidLibHandle) return cvcore::Status(Traits::Library().GetLastError());
    cvcore::Status result;
    {
      Operation op(h);
      Session& s = *op;
      s.port = port;
      s.timeout = timeout ? timeout : 20;
      s.options = options;
      std::snprintf(s.host, sizeof s.host, "%s", host);
      result = open(s, h);
      if (!result.ok()) ReleaseOrDefer(h);
    }
    if (!result.ok()) return result;
    return h;
  }

  // The server address of the session's host (IPv6 only when the options say so).
  static cvcore::Status Resolve(Session& s) noexcept {
    const uint32_t hint = (s.options & kMailOptionIpv6Only) ? 23 : 0;
    if (SockResolveAddress(s.host, hint, &s.serverAddress) >= 0) return {};
    return cvcore::Status(cvErrorInvalidHostName);
  }

  // A TLS session's copy of the credentials and its client credentials (nothing to do
  // without TLS).
  static cvcore::Status PrepareTls(Session& s, const SecCredentials* credentials) noexcept {
    if (!(s.options & kMailOptionSecure)) return {};
    if (const cvcore::Status prepared = TlsPrepare(s.tls, credentials); !prepared.ok()) return prepared;
    return TlsCreateCredentials(s.tls);
  }

  // A TCP socket for the session's server address and port, kept as its control socket,
  // and the address to connect to.
  static cvcore::Status CreateSocket(Session& s, uint32_t port, char (&address)[kSockAddressBufferSize],
                                     uint32_t& length) noexcept {
    if (!SockMakeSockaddr(&s.serverAddress, uint16_t(port), address, &length)) return SocketFailure();
    s.header.controlSocket = SockCreate(int32_t(s.serverAddress.family), SOCK_STREAM, IPPROTO_TCP);
    if (s.header.controlSocket == INVALID_SOCKET) return SocketFailure();
    return {};
  }

  // Connects the socket without blocking past waitWritable() (the library's wait for
  // POLLOUT: its time-out and cancel, giving its outcome). The socket stays non-blocking:
  // every read and write (a TLS handshake's too) waits first under the session's time-out
  // and cancel, and no socket call can hold a call past them.
  template <typename Wait>
  static cvcore::Status Connect(SOCKET sock, const char* address, uint32_t length, Wait&& waitWritable) noexcept {
    uint32_t on = 1;
    SockSetBlockingMode(sock, &on);
    if (SockConnect(sock, reinterpret_cast<const sockaddr*>(address), int32_t(length)) != 0) {
      if (plat::GetLastError() != plat::WSAEWOULDBLOCK) return SocketFailure();
      if (const cvcore::Status waited = waitWritable(); !waited.ok()) return waited;
      int32_t pending = 0;
      int32_t size = sizeof pending;
      if (SockGetPendingError(sock, &pending, &size) != 0) return SocketFailure();
      if (pending != 0) return cvcore::Status(kCvErrorBase | uint32_t(pending));
    }
    return {};
  }

  // Posts a network event (FD_READ, FD_CONNECT...) of the control socket to its window.
  static void PostSocketEvent(Session& s, int32_t fdEvent) noexcept {
    if (!s.notify.socketWindow || s.header.controlSocket == INVALID_SOCKET) return;
    plat::PostMessage(s.notify.socketWindow, s.notify.socketMessage, WPARAM(s.header.controlSocket),
                      plat::WSAMakeSelectReply(uint32_t(fdEvent), 0));
  }

  // The thread's socket error as a failure (never success).
  static cvcore::Status SocketFailure() noexcept {
    const uint32_t e = plat::GetLastError();
    return cvcore::Status(e ? e : cvErrorConnectionClosed);  // a failure that left no error behind
  }

  // Fires an event unless the session is released. Its receiver reads the event's error
  // as the last error (0: none) and may call into the library; what it leaves behind is
  // not the outcome of the call that fired the event, which its entry point sets.
  static void Deliver(Session& s, uint32_t event, uint32_t error) noexcept {
    if (s.freePending) return;
    auto& f = Traits::Library();
    const uint32_t callersError = f.GetLastError();
    f.SetLastError(error);
    cvcore::NotifyEngine<Traits>::Fire(s.header.handle, event, error);
    f.SetLastError(callersError);
  }

  // Delivers an event of the socket's network events, from the window procedure: the
  // network's error stays the thread's last error, as a socket call's would.
  static void DeliverNetworkEvent(Session& s, uint32_t event, uint32_t error) noexcept {
    Deliver(s, event, error);
    if (error) Traits::Library().SetLastError(error);
  }

  // The outcome of a public call of the notification engine, which keeps its failure in
  // the last error.
  static cvcore::Status EngineOutcome(bool succeeded) noexcept {
    if (succeeded) return {};
    const uint32_t code = Traits::Library().GetLastError();
    return cvcore::Status(code ? code : cvErrorInvalidParameter);
  }
};

}  // namespace cvmail
