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

// Handshake and server check (an untrusted certificate is accepted). False with the error.
bool StartTls(ImapSession& s) {
  // Plain bytes that arrived behind the STARTTLS answer are not the server's TLS: they must not
  // be read as if they came over the protected channel.
  s.received.Clear();
  return Report(TlsCalls::Start(s));
}

// The greeting must read as an untagged OK.
int32_t ExpectGreeting(ImapSession& s) {
  s.responsePending = 1;
  const int32_t id = ReadResponse(s);
  if (id == int32_t(kImapResponseOk) && !s.lastTagged) return 0;
  if (id >= 0 || LastError() == 0) Fail(cvErrorUnexpectedServerResponse);
  return -1;
}

int32_t Handshake(ImapSession& s) {
  const bool secure = s.options & kImapOptionSecure;
  const bool implicit = s.options & kImapOptionSecureImplicit;
  if (secure && implicit) {
    if (!StartTls(s)) return -1;
  } else if (secure) {
    if (ExpectGreeting(s) != 0) return -1;
    if (SendCommand(s, "STARTTLS", nullptr) < 0) return -1;
    if (!StartTls(s)) return -1;
  }
  if (!s.greetingReceived && ExpectGreeting(s) != 0) return -1;
  if (SendCommand(s, "CAPABILITY", nullptr) < 0) {
    const uint32_t e = LastError();
    return Fail(e == cvErrorInvalidCommand || e == cvErrorCommandNotImplemented || e == 0
                    ? cvErrorUnexpectedServerResponse
                    : e);
  }
  if ((s.options & kImapOptionSendId) && ImapFindText(s.capabilities, "ID")) {
    char argument[128];
    std::snprintf(argument, sizeof argument,
                  "(\"name\" \"Corvanetics\" \"version\" \"%d.%d\" \"vendor\" \"Vantorel\")", 9, 5);
    const uint32_t kept = LastError();
    SendCommand(s, "ID", argument);
    if (Gone(s) || s.closed) return -1;
    Library().SetLastError(kept);
  }
  SetState(s, cvmail::MailState::Idle);
  return 0;
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
    return Fail(error), kInvalidLibHandle;

  const auto open = [&](ImapSession& s, LibHandle h) {
    if (!Report(SessionCalls::Resolve(s))) return -1;
    char address[kSockAddressBufferSize];
    uint32_t length = 0;
    if (!Report(SessionCalls::CreateSocket(s, port, address, length))) return -1;
    SelectSocket(s, nullptr, 0);
    ImapDisableEvents(h);
    s.busy.store(1);
    s.responsePending = 1;
    SetState(s, cvmail::MailState::Connecting);
    if (!Report(SessionCalls::PrepareTls(s, credentials))) return -1;
    const auto waitWritable = [&] { return WaitSocket(s, POLLOUT, 0) ? cvcore::Status() : KeptFailure(); };
    if (!Report(SessionCalls::Connect(s.header.controlSocket, address, length, waitWritable))) return -1;
    s.busy.store(0);
    s.responsePending = 0;
    return Handshake(s);
  };
  return SessionCalls::OpenReporting<Operation>(name, port, timeout, options, open);
}

int32_t ImapLogin(LibHandle handle, const char* user, const char* password) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (s.loggedIn) return Fail(cvErrorAlreadyAuthenticated);
  const size_t userLength = user ? std::strlen(user) : 0;
  const size_t passwordLength = password ? std::strlen(password) : 0;
  if (userLength < 1 || userLength > kCredentialMax) return Fail(cvErrorInvalidUserName);
  if (passwordLength < 1 || passwordLength > kCredentialMax) return Fail(cvErrorInvalidPassword);
  char quotedUser[128];
  char quotedPassword[128];
  if (!ImapQuoteString(user, quotedUser, sizeof quotedUser)) return Fail(cvErrorInvalidUserName);
  if (!ImapQuoteString(password, quotedPassword, sizeof quotedPassword)) return Fail(cvErrorInvalidPassword);
  std::string argument = std::string(quotedUser) + ' ' + quotedPassword;
  explicit_bzero(quotedPassword, sizeof quotedPassword);
  const int32_t r = SendCommand(s, "LOGIN", argument.c_str());
  explicit_bzero(argument.data(), argument.size());
  if (r < 0) {
    const uint32_t e = LastError();
    // A refusal is a failed login; a broken exchange keeps its own error.
    return Fail(e == cvErrorInvalidCommand || e == cvErrorCommandNotImplemented || e == 0 ? cvErrorAuthenticationFailed
                                                                                           : e);
  }
  if (SendCommand(s, "CAPABILITY", nullptr) < 0) {
    ReleaseOrDefer(handle);
    return Fail(cvErrorUnexpectedServerResponse);
  }
  s.loggedIn = 1;
  ClearError();
  return 1;
}

int32_t ImapDisconnect(LibHandle handle) {
  {
    Operation op(handle);
    if (!op) return -1;
    ImapSession& s = *op;
    const uint32_t saved = LastError();
    if (s.header.controlSocket != INVALID_SOCKET && !s.closed) {
      EndIdle(s);
      if (s.literalOpen) CloseMessage(s);
      FinishUntagged(s);
      if (s.mailboxSelected && !s.closed) UnselectMailbox(s, true);
      SetState(s, cvmail::MailState::Closing);
      s.responsePending = 0;
      if (!s.closed && !Gone(s)) SendCommand(s, "LOGOUT", nullptr);
    }
    Library().SetLastError(saved);
    ReleaseOrDefer(handle);
  }
  return 0;
}

// ---- TLS of a session ----

int32_t SecImapShutdown(LibHandle handle) { return TlsCalls::Shutdown(handle); }
int32_t SecImapVerifyServer(LibHandle handle) { return TlsCalls::VerifyServer(handle); }
int32_t ImapGetSecurityInfo(LibHandle handle, SecSessionInfo* info) { return TlsCalls::SecurityInfo(handle, info); }
