// Connecting (plain, STARTTLS or implicit TLS, CAPABILITY and ID), logging in, logging
// out, and the TLS entry points of a session.
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/url/sock_address.h"
#include "imap/imap_internal.h"
#include "mail/common/mail_connect.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"

namespace cvimap {

namespace {

constexpr uint32_t kCredentialMax = 64;

// Handshake and server check (an untrusted certificate is accepted).
Status StartTls(ImapSession& s) {
  // Plain bytes that arrived behind the STARTTLS answer are not the server's TLS: they must not
  // be read as if they came over the protected channel.
  s.received.Clear();
  return TlsCalls::Start(s);
}

// The greeting must read as an untagged OK.
Status ExpectGreeting(ImapSession& s) {
  s.responsePending = 1;
  const Result<int32_t> id = ReadResponse(s);
  if (!id.ok()) return id.status();
  if (id.value() == int32_t(kImapResponseOk) && !s.lastTagged) return {};
  return Status(cvErrorUnexpectedServerResponse);
}

// A refusal of a step the connection needs is the server answering unexpectedly; a broken
// exchange keeps its own error.
Status Unexpected(Status failure) {
  const uint32_t e = failure.error();
  return e == cvErrorInvalidCommand || e == cvErrorCommandNotImplemented ? Status(cvErrorUnexpectedServerResponse)
                                                                         : failure;
}

Status Handshake(ImapSession& s) {
  const bool secure = s.options & kImapOptionSecure;
  const bool implicit = s.options & kImapOptionSecureImplicit;
  if (secure && implicit) {
    if (const Status started = StartTls(s); !started.ok()) return started;
  } else if (secure) {
    if (const Status greeted = ExpectGreeting(s); !greeted.ok()) return greeted;
    if (const Result<int32_t> accepted = SendCommand(s, "STARTTLS", nullptr); !accepted.ok()) return accepted.status();
    if (const Status started = StartTls(s); !started.ok()) return started;
  }
  if (!s.greetingReceived)
    if (const Status greeted = ExpectGreeting(s); !greeted.ok()) return greeted;
  if (const Result<int32_t> listed = SendCommand(s, "CAPABILITY", nullptr); !listed.ok())
    return Unexpected(listed.status());
  if ((s.options & kImapOptionSendId) && ImapFindText(s.capabilities, "ID")) {
    char argument[128];
    std::snprintf(argument, sizeof argument,
                  "(\"name\" \"Corvanetics\" \"version\" \"%d.%d\" \"vendor\" \"Vantorel\")", 9, 5);
    // A server may refuse ID: only a connection that did not survive it ends the connect.
    const Result<int32_t> identified = SendCommand(s, "ID", argument);
    if (Gone(s) || s.closed) return identified.ok() ? Status(cvErrorConnectionClosed) : identified.status();
  }
  SetState(s, cvmail::MailState::Idle);
  return {};
}

Status Login(ImapSession& s, LibHandle handle, const char* user, const char* password) {
  if (s.loggedIn) return Status(cvErrorAlreadyAuthenticated);
  const size_t userLength = user ? std::strlen(user) : 0;
  const size_t passwordLength = password ? std::strlen(password) : 0;
  if (userLength < 1 || userLength > kCredentialMax) return Status(cvErrorInvalidUserName);
  if (passwordLength < 1 || passwordLength > kCredentialMax) return Status(cvErrorInvalidPassword);
  char quotedUser[128];
  char quotedPassword[128];
  if (!ImapQuoteString(user, quotedUser, sizeof quotedUser)) return Status(cvErrorInvalidUserName);
  if (!ImapQuoteString(password, quotedPassword, sizeof quotedPassword)) return Status(cvErrorInvalidPassword);
  std::string argument = std::string(quotedUser) + ' ' + quotedPassword;
  explicit_bzero(quotedPassword, sizeof quotedPassword);
  const Result<int32_t> r = SendCommand(s, "LOGIN", argument.c_str());
  explicit_bzero(argument.data(), argument.size());
  if (!r.ok()) {
    // A refusal is a failed login; a broken exchange keeps its own error.
    const uint32_t e = r.error();
    return e == cvErrorInvalidCommand || e == cvErrorCommandNotImplemented ? Status(cvErrorAuthenticationFailed)
                                                                           : r.status();
  }
  if (!SendCommand(s, "CAPABILITY", nullptr).ok()) {
    ReleaseOrDefer(handle);
    return Status(cvErrorUnexpectedServerResponse);
  }
  s.loggedIn = 1;
  return {};
}

}  // namespace

}  // namespace cvimap

using namespace cvimap;

LibHandle ImapConnectServer(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                            const SecCredentials* credentials) {
  return ImapConnect(host, port, timeout, options, credentials);
}

LibHandle ImapConnect(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                      const SecCredentials* credentials) {
  char name[kSockHostNameSize];
  uint32_t error = 0;
  if (!cvmail::PrepareConnect(host, name, port, options, {143, 993}, &error))
    return Library().Finish(Status(error), kInvalidLibHandle, kInvalidLibHandle);

  const auto open = [&](ImapSession& s, LibHandle h) -> Status {
    if (const Status resolved = SessionCalls::Resolve(s); !resolved.ok()) return resolved;
    char address[kSockAddressBufferSize];
    uint32_t length = 0;
    if (const Status created = SessionCalls::CreateSocket(s, port, address, length); !created.ok()) return created;
    // A new socket has no window to leave; the engine's answer does not matter here.
    static_cast<void>(SelectSocket(s, nullptr, 0));
    ImapDisableEvents(h);
    s.busy.store(1);
    s.responsePending = 1;
    SetState(s, cvmail::MailState::Connecting);
    if (const Status prepared = SessionCalls::PrepareTls(s, credentials); !prepared.ok()) return prepared;
    const auto waitWritable = [&] { return WaitSocket(s, POLLOUT, 0); };
    if (const Status connected = SessionCalls::Connect(s.header.controlSocket, address, length, waitWritable);
        !connected.ok())
      return connected;
    s.busy.store(0);
    s.responsePending = 0;
    return Handshake(s);
  };
  const Result<LibHandle> opened = SessionCalls::OpenSession<Operation>(name, port, timeout, options, open);
  // A connected session has read its greeting and capabilities: no error is left from them.
  return Library().FinishClean(opened, kInvalidLibHandle);
}

int32_t ImapLogin(LibHandle handle, const char* user, const char* password) {
  Operation op(handle);
  if (!op) return -1;
  const Status logged = Login(*op, handle, user, password);
  return FinishExchange(logged.ok() ? Result<int32_t>(1) : Result<int32_t>(logged));
}

int32_t ImapDisconnect(LibHandle handle) {
  {
    Operation op(handle);
    if (!op) return -1;
    ImapSession& s = *op;
    // The connection closes whatever the server answers on the way: none of it is the
    // caller's.
    if (s.header.controlSocket != INVALID_SOCKET && !s.closed) {
      static_cast<void>(EndIdle(s));
      if (s.literalOpen) static_cast<void>(CloseMessage(s));
      FinishUntagged(s);
      if (s.mailboxSelected && !s.closed) static_cast<void>(UnselectMailbox(s, true));
      SetState(s, cvmail::MailState::Closing);
      s.responsePending = 0;
      if (!s.closed && !Gone(s)) static_cast<void>(SendCommand(s, "LOGOUT", nullptr));
    }
    ReleaseOrDefer(handle);
  }
  return 0;
}

// ---- TLS of a session ----

int32_t SecImapShutdown(LibHandle handle) { return TlsCalls::Shutdown(handle); }
int32_t SecImapVerifyServer(LibHandle handle) { return TlsCalls::VerifyServer(handle); }
int32_t ImapGetSecurityInfo(LibHandle handle, SecSessionInfo* info) { return TlsCalls::SecurityInfo(handle, info); }
