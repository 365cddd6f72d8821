// Connecting (plain, STARTTLS or implicit TLS), the hello step with the server's
// extensions, opening the connection again, disconnecting, and the TLS entry points.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/url/sock_address.h"
#include "mail/common/mail_connect.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

namespace {

bool SecureOn(const SmtpSession& s) { return s.options & kSmtpOptionSecure; }
bool Implicit(const SmtpSession& s) { return s.options & kSmtpOptionSecureImplicit; }

struct Keyword {
  const char* text;
  uint32_t bit;
};

constexpr Keyword kKeywords[] = {
    {"EXPN", kSmtpExtensionExpn},         {"VRFY", kSmtpExtensionVrfy},
    {"DSN", kSmtpExtensionDsn},           {"SIZE", kSmtpExtensionSize},
    {"ETRN", kSmtpExtensionEtrn},         {"8BITMIME", kSmtpExtension8BitMime},
    {"AUTH=LOGIN", kSmtpExtensionAuthLogin}, {"STARTTLS", kSmtpExtensionStartTls},
};

uint32_t ScanExtensions(const char* text) {
  uint32_t bits = 0;
  for (const Keyword& k : kKeywords)
    if (std::strstr(text, k.text)) bits |= k.bit;
  if (std::strstr(text, "AUTH") && std::strstr(text, "LOGIN")) bits |= kSmtpExtensionAuthLogin;
  return bits;
}

// Handshake and server check (an untrusted certificate is accepted).
Status StartTls(SmtpSession& s) {
  // Plain bytes that arrived behind the STARTTLS answer are not the server's TLS: they must not
  // be read as if they came over the protected channel.
  s.received.Clear();
  return TlsCalls::Start(s);
}

// The hello argument: the configured domain (an IPv4 address as a literal), else the
// local address's name, else the address literal.
Result<std::string> HelloArgument(SmtpSession& s) {
  if (s.ehloDomain[0]) {
    const uint32_t address = SockInetAddr(s.ehloDomain);
    if (address != INADDR_NONE) return std::string("[") + SockInetNtoa(address) + "]";
    return std::string(s.ehloDomain);
  }
  sockaddr_storage local{};
  int32_t length = sizeof local;
  if (SockGetLocalName(s.header.controlSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return SessionCalls::SocketFailure();
  in_addr v4{};
  if (local.ss_family == AF_INET) {
    v4 = reinterpret_cast<const sockaddr_in&>(local).sin_addr;
  } else {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(local).sin6_addr;
    if (!IN6_IS_ADDR_V4MAPPED(&v6)) {
      // A connection over IPv6 has no IPv4 address to name: the address literal of RFC 5321.
      char text[INET6_ADDRSTRLEN] = "";
      SockInetNtop(23, &v6, text, sizeof text);
      return std::string("[IPv6:") + text + "]";
    }
    std::memcpy(&v4, v6.s6_addr + 12, 4);
  }
  const uint32_t saved = plat::GetLastError();
  const plat::HostEnt* entry = SockGetHostByAddr(&v4);
  plat::SetLastError(saved);
  if (entry && entry->h_name && *entry->h_name) return std::string(entry->h_name).substr(0, kSmtpHostSize - 1);
  return std::string("[") + SockInetNtoa(v4.s_addr) + "]";
}

// A new TCP connection to the stored address and port.
Status OpenConnection(SmtpSession& s) {
  char address[kSockAddressBufferSize];
  uint32_t length = 0;
  if (const Status created = SessionCalls::CreateSocket(s, s.port, address, length); !created.ok()) return created;
  s.received.Clear();
  SetState(s, cvmail::MailState::Connecting);
  s.replyPending = 1;
  const auto waitWritable = [&] { return WaitSocket(s, POLLOUT); };
  if (const Status connected = SessionCalls::Connect(s.header.controlSocket, address, length, waitWritable);
      !connected.ok())
    return connected;
  s.connected = 1;
  SetState(s, cvmail::MailState::Idle);
  return {};
}

// A reply that must be positive: a failure, or cvErrorUnexpectedServerResponse for any
// other code.
Status PositiveReply(const Result<int32_t>& reply) {
  if (!reply.ok()) return reply.status();
  return Positive(reply.value()) ? Status() : Status(cvErrorUnexpectedServerResponse);
}

// TLS first when implicit, then the greeting and the hello.
Status Greet(SmtpSession& s) {
  s.replyPending = 0;
  if (Implicit(s))
    if (const Status started = StartTls(s); !started.ok()) return started;
  s.replyPending = 1;
  if (const Status greeting = PositiveReply(ReadReply(s)); !greeting.ok()) return greeting;
  return PositiveReply(SendHello(s));
}

// Takes the caller's EHLO domain: leading white space skipped; a control, blank or
// non-ASCII character fails (cvErrorInvalidHostName); any other character outside letters,
// digits, '-' and '.' drops the domain (the local name is used).
Status TakeEhloDomain(SmtpSession& s, const char* domain) {
  s.ehloDomain[0] = '\0';
  if (!domain) return {};
  while (*domain == ' ' || *domain == '\t' || *domain == '\r' || *domain == '\n') ++domain;
  std::snprintf(s.ehloDomain, sizeof s.ehloDomain, "%s", domain);
  bool valid = true;
  for (const char* p = s.ehloDomain; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c > 0x7F) return Status(cvErrorInvalidHostName);
    if (!(std::isalnum(c) || c == '-' || c == '.')) valid = false;
  }
  if (!valid) s.ehloDomain[0] = '\0';
  return {};
}

}  // namespace

Result<int32_t> SendHello(SmtpSession& s) noexcept {
  const Result<std::string> argument = HelloArgument(s);
  if (!argument.ok()) return argument.status();
  const char* hello = argument.value().c_str();
  if (s.options & kSmtpOptionExtended) s.extended = 1;
  const bool wantStartTls = SecureOn(s) && !Implicit(s);
  if (s.extended) {
    s.extensions = 0;
    Result<int32_t> r = Command(s, "EHLO", hello);
    if (r.ok() && Positive(r.value())) {
      s.extensions = ScanExtensions(s.replyText);
      if (!wantStartTls || s.tls.active) return r;
      // The caller asked for a protected connection: going on in the clear would send the
      // login and the message unprotected.
      if (!(s.extensions & kSmtpExtensionStartTls)) return Status(cvErrorOptionNotSupported);
      if (const Status accepted = PositiveReply(Command(s, "STARTTLS", nullptr)); !accepted.ok()) return accepted;
      if (const Status started = StartTls(s); !started.ok()) return started;
      s.extensions = 0;
      r = Command(s, "EHLO", hello);
      if (r.ok() && Positive(r.value())) {
        s.extensions = ScanExtensions(s.replyText);
        return r;
      }
    }
    // No reply at all: nothing to fall back on.
    if (Gone(s) || s.replyCode == 0) return r.ok() ? Status(cvErrorUnexpectedServerResponse) : r.status();
    if (wantStartTls && !s.tls.active) return Status(cvErrorOptionNotSupported);
    s.options &= ~kSmtpOptionExtended;
    s.extended = 0;
    s.extensions = 0;
    // HELO follows whatever the reset answers.
    const Result<int32_t> reset = Command(s, "RSET", nullptr);
    if (Gone(s)) return reset.ok() ? Status(cvErrorInvalidHandle) : reset.status();
  }
  return Command(s, "HELO", hello);
}

Status Reconnect(SmtpSession& s) noexcept {
  const LibHandle h = s.header.handle;
  const HWND socketWindow = s.notify.socketWindow;
  const UINT socketMessage = s.notify.socketMessage;
  s.dataOpen = 0;
  s.cancel.store(0);
  s.cancelSignal.Reset();
  // Routing the socket back to blocking use: a failure here shows in the new connection.
  if (socketWindow) static_cast<void>(SelectSocket(s, nullptr, 0));
  if (s.tls.active && s.header.controlSocket != INVALID_SOCKET) Tls::Shutdown(s);
  cvmail::TlsReset(s.tls);
  s.tls.active = false;
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  s.header.controlSocket = INVALID_SOCKET;
  s.connected = 0;
  s.replyPending = 0;
  s.senderAccepted = 0;
  s.acceptedRecipients = 0;
  const Status result = [&]() -> Status {
    if (SecureOn(s))
      if (const Status acquired = cvmail::TlsCreateCredentials(s.tls); !acquired.ok()) return acquired;
    if (const Status opened = OpenConnection(s); !opened.ok()) return opened;
    if (const Status greeted = Greet(s); !greeted.ok()) return greeted;
    if (s.loggedIn) {
      char user[kSmtpCredentialSize], password[kSmtpCredentialSize];
      std::memcpy(user, s.user, sizeof user);
      std::memcpy(password, s.password, sizeof password);
      const Result<int32_t> r = Authenticate(s, s.loginMethod, user, password);
      explicit_bzero(user, sizeof user);
      explicit_bzero(password, sizeof password);
      if (!r.ok()) return r.status();
    }
    // The caller's registration stays as it was; only the socket is routed again.
    if (socketWindow) return SelectSocket(s, socketWindow, socketMessage);
    return {};
  }();
  if (!result.ok()) ReleaseOrDefer(h);
  return result;
}

}  // namespace cvsmtp

using namespace cvsmtp;

LibHandle SmtpConnectServer(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                            const char* ehloDomain, const SecCredentials* credentials) {
  return SmtpConnect(host, port, timeout, options, ehloDomain, credentials);
}

LibHandle SmtpConnect(const char* host, uint32_t port, uint32_t timeout, uint32_t options, const char* ehloDomain,
                      const SecCredentials* credentials) {
  char name[kSockHostNameSize];
  uint32_t error = 0;
  if (!cvmail::PrepareConnect(host, name, port, options, {25, 465}, &error))
    return Library().Finish(Status(error), kInvalidLibHandle, kInvalidLibHandle);
  if (port == 587) options |= kSmtpOptionExtended;
  if ((options & kSmtpOptionSecure) && !(options & kSmtpOptionSecureImplicit)) options |= kSmtpOptionExtended;

  const Result<LibHandle> opened =
      SessionCalls::OpenSession<Operation>(name, port, timeout, options, [&](SmtpSession& s, LibHandle) -> Status {
        if (const Status taken = TakeEhloDomain(s, ehloDomain); !taken.ok()) return taken;
        if (const Status prepared = SessionCalls::PrepareTls(s, credentials); !prepared.ok()) return prepared;
        if (const Status resolved = SessionCalls::Resolve(s); !resolved.ok()) return resolved;
        if (const Status connected = OpenConnection(s); !connected.ok()) return connected;
        return Greet(s);
      });
  // A connected session has read its greeting and hello: no error is left from them.
  return Library().FinishClean(opened, kInvalidLibHandle);
}

int32_t SmtpGetExtensions(LibHandle handle, uint32_t* bits) {
  Operation op(handle);
  if (!op) return 0;
  if (!op->extended) {
    if (bits) *bits = 0;
    return Library().Finish(Status(cvErrorOptionNotSupported), 1, 0);
  }
  if (bits) *bits = op->extensions;
  return 1;
}

int32_t SmtpSendHello(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(SendHello(*op));
}

int32_t SmtpReconnect(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  const Status reconnected = Reconnect(*op);
  return FinishExchange(reconnected.ok() ? Result<int32_t>(0) : Result<int32_t>(reconnected));
}

int32_t SmtpDisconnect(LibHandle handle) {
  // A cancel from another thread means the caller gave up on the server: no QUIT then.
  // (The operation scope below clears the flag, so it is read first.)
  const Result<SmtpSession*> before = Library().LookupOwned(handle);
  const bool canceled = before.ok() && before.value()->cancel.load();
  {
    Operation op(handle);
    if (!op) return -1;
    SmtpSession& s = *op;
    SetState(s, cvmail::MailState::Closing);
    // An open DATA section is not ended: that would deliver a message cut short. Closing
    // the connection makes the server drop it.
    if (!canceled && !s.timedOut && !s.dataOpen && s.connected && s.header.controlSocket != INVALID_SOCKET) {
      s.replyPending = 0;
      // The connection closes whatever the server answers: a failed QUIT is not the caller's.
      static_cast<void>(Command(s, "QUIT", nullptr));
    }
    ReleaseOrDefer(handle);
  }
  return 0;
}

// ---- TLS of a session ----

int32_t SmtpTlsCreateCredentials(LibHandle handle) { return TlsCalls::CreateCredentials(handle); }
int32_t SmtpTlsHandshake(LibHandle handle) { return TlsCalls::Handshake(handle); }
int32_t SmtpTlsVerifyServer(LibHandle handle) { return TlsCalls::VerifyServer(handle); }
int32_t SmtpTlsShutdown(LibHandle handle) { return TlsCalls::Shutdown(handle); }
int32_t SecSmtpHandshakeLoop(LibHandle handle, int32_t readFirst) { return TlsCalls::HandshakeLoop(handle, readFirst); }
int32_t SecSmtpReceive(LibHandle handle, char* buffer, int32_t size) { return TlsCalls::Receive(handle, buffer, size); }
int32_t SecSmtpSend(LibHandle handle, const char* data, int32_t length) { return TlsCalls::Send(handle, data, length); }
int32_t SmtpGetSecurityInfo(LibHandle handle, SecSessionInfo* info) { return TlsCalls::SecurityInfo(handle, info); }
