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

// Handshake and server check (an untrusted certificate is accepted). False with the error.
bool StartTls(SmtpSession& s) {
  // Plain bytes that arrived behind the STARTTLS answer are not the server's TLS: they must not
  // be read as if they came over the protected channel.
  s.received.Clear();
  return TlsCalls::Start(s);
}

// The hello argument: the configured domain (an IPv4 address as a literal), else the
// local address's name, else the address literal. Empty with the error on failure.
std::string HelloArgument(SmtpSession& s) {
  if (s.ehloDomain[0]) {
    const uint32_t address = SockInetAddr(s.ehloDomain);
    if (address != INADDR_NONE) return std::string("[") + SockInetNtoa(address) + "]";
    return s.ehloDomain;
  }
  sockaddr_storage local{};
  int32_t length = sizeof local;
  if (SockGetLocalName(s.header.controlSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    SocketError();
    return {};
  }
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

// A new TCP connection to the stored address and port. 0, or -1 with the error.
int32_t OpenConnection(SmtpSession& s) {
  char address[kSockAddressBufferSize];
  uint32_t length = 0;
  if (!SessionCalls::CreateSocket(s, s.port, address, length)) return -1;
  s.received.Clear();
  SetState(s, cvmail::MailState::Connecting);
  s.replyPending = 1;
  const auto waitWritable = [&] { return WaitSocket(s, POLLOUT); };
  if (SessionCalls::Connect(s.header.controlSocket, address, length, waitWritable) != 0) return -1;
  s.connected = 1;
  SetState(s, cvmail::MailState::Idle);
  return 0;
}

// TLS first when implicit, then the greeting and the hello. 0, or -1 with the error.
int32_t Greet(SmtpSession& s) {
  s.replyPending = 0;
  if (Implicit(s) && !StartTls(s)) return -1;
  s.replyPending = 1;
  const int32_t greeting = ReadReply(s);
  if (!Positive(greeting)) return FailUnlessSet(cvErrorUnexpectedServerResponse);
  const int32_t hello = SendHello(s);
  if (!Positive(hello)) return FailUnlessSet(cvErrorUnexpectedServerResponse);
  return 0;
}

// Takes the caller's EHLO domain: leading white space skipped; a control, blank or
// non-ASCII character fails (cvErrorInvalidHostName); any other character outside letters,
// digits, '-' and '.' drops the domain (the local name is used). False on failure.
bool TakeEhloDomain(SmtpSession& s, const char* domain) {
  s.ehloDomain[0] = '\0';
  if (!domain) return true;
  while (*domain == ' ' || *domain == '\t' || *domain == '\r' || *domain == '\n') ++domain;
  std::snprintf(s.ehloDomain, sizeof s.ehloDomain, "%s", domain);
  bool valid = true;
  for (const char* p = s.ehloDomain; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c > 0x7F) return Fail(cvErrorInvalidHostName), false;
    if (!(std::isalnum(c) || c == '-' || c == '.')) valid = false;
  }
  if (!valid) s.ehloDomain[0] = '\0';
  return true;
}

}  // namespace

int32_t SendHello(SmtpSession& s) noexcept {
  const std::string argument = HelloArgument(s);
  if (argument.empty()) return -1;
  if (s.options & kSmtpOptionExtended) s.extended = 1;
  const bool wantStartTls = SecureOn(s) && !Implicit(s);
  if (s.extended) {
    s.extensions = 0;
    int32_t r = Command(s, "EHLO", argument.c_str());
    if (Positive(r)) {
      s.extensions = ScanExtensions(s.replyText);
      if (!wantStartTls || s.tls.active) return r;
      // The caller asked for a protected connection: going on in the clear would send the
      // login and the message unprotected.
      if (!(s.extensions & kSmtpExtensionStartTls)) return Fail(cvErrorOptionNotSupported);
      const int32_t t = Command(s, "STARTTLS", nullptr);
      if (!Positive(t)) return t < 0 ? -1 : FailUnlessSet(cvErrorUnexpectedServerResponse);
      if (!StartTls(s)) return -1;
      s.extensions = 0;
      r = Command(s, "EHLO", argument.c_str());
      if (Positive(r)) {
        s.extensions = ScanExtensions(s.replyText);
        return r;
      }
    }
    if (Gone(s) || s.replyCode == 0) return -1;  // no reply at all: nothing to fall back on
    if (wantStartTls && !s.tls.active) return Fail(cvErrorOptionNotSupported);
    s.options &= ~kSmtpOptionExtended;
    s.extended = 0;
    s.extensions = 0;
    Command(s, "RSET", nullptr);
    if (Gone(s)) return -1;
  }
  return Command(s, "HELO", argument.c_str());
}

int32_t Reconnect(SmtpSession& s) noexcept {
  const LibHandle h = s.header.handle;
  const HWND socketWindow = s.notify.socketWindow;
  const UINT socketMessage = s.notify.socketMessage;
  s.dataOpen = 0;
  s.cancel.store(0);
  s.cancelSignal.Reset();
  if (socketWindow) SelectSocket(s, nullptr, 0);
  if (s.tls.active && s.header.controlSocket != INVALID_SOCKET) Tls::Shutdown(s);
  cvmail::TlsReset(s.tls);
  s.tls.active = false;
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  s.header.controlSocket = INVALID_SOCKET;
  s.connected = 0;
  s.replyPending = 0;
  s.senderAccepted = 0;
  s.acceptedRecipients = 0;
  const int32_t result = [&] {
    if (SecureOn(s)) {
      uint32_t error = 0;
      if (!cvmail::TlsCreateCredentials(s.tls, &error)) return Fail(error);
    }
    if (OpenConnection(s) != 0 || Greet(s) != 0) return -1;
    if (s.loggedIn) {
      char user[kSmtpCredentialSize], password[kSmtpCredentialSize];
      std::memcpy(user, s.user, sizeof user);
      std::memcpy(password, s.password, sizeof password);
      const int32_t r = Authenticate(s, s.loginMethod, user, password);
      explicit_bzero(user, sizeof user);
      explicit_bzero(password, sizeof password);
      if (r < 0) return -1;
    }
    // The caller's registration stays as it was; only the socket is routed again.
    if (socketWindow && SelectSocket(s, socketWindow, socketMessage) != 0) return -1;
    return 0;
  }();
  if (result != 0) ReleaseOrDefer(h);
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
    return Fail(error), kInvalidLibHandle;
  if (port == 587) options |= kSmtpOptionExtended;
  if ((options & kSmtpOptionSecure) && !(options & kSmtpOptionSecureImplicit)) options |= kSmtpOptionExtended;

  return SessionCalls::OpenSession<Operation>(name, port, timeout, options, [&](SmtpSession& s, LibHandle) {
    if (!TakeEhloDomain(s, ehloDomain)) return -1;
    if (!SessionCalls::PrepareTls(s, credentials)) return -1;
    if (!SessionCalls::Resolve(s)) return -1;
    if (OpenConnection(s) != 0) return -1;
    return Greet(s);
  });
}

int32_t SmtpGetExtensions(LibHandle handle, uint32_t* bits) {
  Operation op(handle);
  if (!op) return 0;
  if (!op->extended) {
    if (bits) *bits = 0;
    Fail(cvErrorOptionNotSupported);
    return 0;
  }
  if (bits) *bits = op->extensions;
  return 1;
}

int32_t SmtpSendHello(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return SendHello(*op);
}

int32_t SmtpReconnect(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return Reconnect(*op);
}

int32_t SmtpDisconnect(LibHandle handle) {
  // A cancel from another thread means the caller gave up on the server: no QUIT then.
  // (The operation scope below clears the flag, so it is read first.)
  const uint32_t saved = LastError();
  const SmtpSession* before = Library().GetSession(handle);
  const bool canceled = before && before->cancel.load();
  Library().SetLastError(saved);
  {
    Operation op(handle);
    if (!op) return -1;
    SmtpSession& s = *op;
    SetState(s, cvmail::MailState::Closing);
    // An open DATA section is not ended: that would deliver a message cut short. Closing
    // the connection makes the server drop it.
    if (!canceled && !s.timedOut && !s.dataOpen && s.connected && s.header.controlSocket != INVALID_SOCKET) {
      const uint32_t kept = LastError();
      s.replyPending = 0;
      Command(s, "QUIT", nullptr);
      Library().SetLastError(kept);
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
