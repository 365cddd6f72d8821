// The connect of a session that reports to a notification window: the socket is routed to
// the window before the TCP connect starts, and a connect in progress is finished by the
// window's socket notification (the greeting, STLS and the TLS handshake then run there).
#include <cstdio>

#include "core/url/sock_address.h"
#include "mail/common/mail_connect.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/msg/window.h"
#include "platform/net/wsa_errors.h"
#include "pop3/pop3_control.h"
#include "pop3/pop3_internal.h"

using namespace cvpop3;

LibHandle Pop3Connect(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                      const SecCredentials* credentials, HWND window, UINT message) {
  if (window && (!plat::IsWindow(window) || message < cvcore::kNotifyFirstMessage))
    return Library().Finish(Status(cvErrorInvalidParameter), kInvalidLibHandle, kInvalidLibHandle);
  if (!window) return Pop3Connect(host, port, timeout, options, credentials);

  char name[kSockHostNameSize];
  uint32_t error = 0;
  if (!cvmail::PrepareConnect(host, name, port, options, {110, 995}, &error))
    return Library().Finish(Status(error), kInvalidLibHandle, kInvalidLibHandle);

  const auto open = [&](Pop3Session& s, LibHandle) -> Status {
    if (const Status resolved = SessionCalls::Resolve(s); !resolved.ok()) return resolved;
    char address[kSockAddressBufferSize];
    uint32_t length = 0;
    if (const Status created = SessionCalls::CreateSocket(s, port, address, length); !created.ok()) return created;
    // The selection makes the socket non-blocking; it stays so for the whole session.
    if (const Status selected = SelectSocket(s, window, cvcore::kNotifySocketMessage); !selected.ok()) return selected;
    if (const Status registered = RegisterEvents(s, window, message, 0xFFFFFFFFu); !registered.ok()) return registered;
    SetState(s, cvmail::MailState::Connecting);
    s.greetingExpected = 1;
    s.replyPending = (options & kPop3OptionSecureImplicit) ? 0 : 1;
    if (const Status prepared = SessionCalls::PrepareTls(s, credentials); !prepared.ok()) return prepared;
    const bool pending =
        SockConnect(s.header.controlSocket, reinterpret_cast<sockaddr*>(address), int32_t(length)) != 0;
    if (pending && plat::GetLastError() != plat::WSAEWOULDBLOCK) return SessionCalls::SocketFailure();
    // A connect that completed at once gets the notification a pending one would: the
    // rest of the connection is made in one place.
    if (!pending) PostSocketEvent(s, plat::FD_CONNECT);
    return {};
  };
  const Result<LibHandle> opened = SessionCalls::OpenSession<Operation>(name, port, timeout, options, open);
  return Library().FinishClean(opened, kInvalidLibHandle);
}
