// Connecting (plain, STLS or implicit TLS), the TLS entry points of a session, logging in
// with USER and PASS or APOP, and disconnecting.
#include <poll.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/digest/md5.h"
#include "core/url/sock_address.h"
#include "mail/common/mail_connect.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

bool SecureOn(const Pop3Session& s) { return s.options & kPop3OptionSecure; }
bool Implicit(const Pop3Session& s) { return s.options & kPop3OptionSecureImplicit; }

// Handshake and server check (an untrusted certificate is accepted).
Status StartTls(Pop3Session& s) {
  // Plain bytes that arrived behind the STLS answer are not the server's TLS: they must not
  // be read as if they came over the protected channel.
  s.received.Clear();
  return TlsCalls::Start(s);
}

uint32_t NextNumber(const char*& p) {
  while (*p && !std::isdigit(static_cast<unsigned char>(*p))) ++p;
  uint64_t v = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    v = v * 10 + uint32_t(*p++ - '0');
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;
  }
  return uint32_t(v);
}

}  // namespace

Status CompleteConnect(Pop3Session& s) noexcept {
  if (Implicit(s))
    if (const Status started = StartTls(s); !started.ok()) return started;
  s.replyPending = 1;
  if (const Status greeted = Accepted(ReadReply(s), cvErrorUnexpectedServerResponse); !greeted.ok()) return greeted;
  if (SecureOn(s) && !Implicit(s)) {
    if (const Status accepted = Accepted(SendCommand(s, "STLS", nullptr), cvErrorOptionNotSupported); !accepted.ok())
      return accepted;
    if (const Status started = StartTls(s); !started.ok()) return started;
  }
  SetState(s, cvmail::MailState::Idle);
  return {};
}

void ParseStat(Pop3Session& s) noexcept {
  const char* p = s.replyText;
  s.messageCount = NextNumber(p);
  s.lastMessage = s.messageCount;
  s.mailboxSize = NextNumber(p);
}

}  // namespace cvpop3

using namespace cvpop3;

LibHandle Pop3ConnectServer(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                            const SecCredentials* credentials) {
  return Pop3Connect(host, port, timeout, options, credentials);
}

LibHandle Pop3Connect(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                      const SecCredentials* credentials) {
  char name[kSockHostNameSize];
  uint32_t error = 0;
  if (!cvmail::PrepareConnect(host, name, port, options, {110, 995}, &error))
    return Library().Finish(Status(error), kInvalidLibHandle, kInvalidLibHandle);

  const auto open = [&](Pop3Session& s, LibHandle h) -> Status {
    if (const Status resolved = SessionCalls::Resolve(s); !resolved.ok()) return resolved;
    char address[kSockAddressBufferSize];
    uint32_t length = 0;
    if (const Status created = SessionCalls::CreateSocket(s, port, address, length); !created.ok()) return created;
    // A new socket has no window to leave; the engine's answer does not matter here.
    static_cast<void>(SelectSocket(s, nullptr, 0));
    Pop3DisableEvents(h);
    SetState(s, cvmail::MailState::Connecting);
    s.greetingExpected = 1;
    s.replyPending = Implicit(s) ? 0 : 1;
    if (const Status prepared = SessionCalls::PrepareTls(s, credentials); !prepared.ok()) return prepared;
    const auto waitWritable = [&] { return WaitSocket(s, POLLOUT, TimeoutMs(s, false), 0); };
    if (const Status connected = SessionCalls::Connect(s.header.controlSocket, address, length, waitWritable);
        !connected.ok())
      return connected;
    s.connected = 1;
    SetState(s, cvmail::MailState::Idle);
    return CompleteConnect(s);
  };
  const Result<LibHandle> opened = SessionCalls::OpenSession<Operation>(name, port, timeout, options, open);
  // A connected session has read its greeting: no error is left from it.
  return Library().FinishClean(opened, kInvalidLibHandle);
}

int32_t Pop3Disconnect(LibHandle handle) {
  {
    Operation op(handle);
    if (!op) return -1;
    Pop3Session& s = *op;
    SetState(s, cvmail::MailState::Closing);
    if (s.connected && !s.closed && s.header.controlSocket != INVALID_SOCKET && !s.multiLine) {
      s.replyPending = 0;
      // The connection closes whatever the server answers: a failed QUIT is not the caller's.
      static_cast<void>(SendCommand(s, "QUIT", nullptr));
    }
    ReleaseOrDefer(handle);
  }
  return 0;
}

namespace {

Status Login(Pop3Session& s, uint32_t method, const char* user, const char* password) {
  if (s.loggedIn) return Status(cvErrorAlreadyAuthenticated);
  // A refusal ("-ERR") becomes the step's own code; a failed exchange keeps its error.
  if (method == 1) {
    if (!s.timeStamp[0]) return Status(cvErrorInvalidAuthenticationType);
    if (!user || !*user) return Status(cvErrorInvalidUserName);
    if (!password || !*password) return Status(cvErrorInvalidPassword);
    Md5Context md5;
    Md5Begin(&md5);
    Md5Append(&md5, s.timeStamp, std::strlen(s.timeStamp));
    Md5Append(&md5, password, std::strlen(password));
    uint8_t digest[16];
    Md5End(digest, &md5);
    std::string argument = std::string(user) + ' ';
    for (uint8_t b : digest) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", b);
      argument += hex;
    }
    explicit_bzero(digest, sizeof digest);
    const Result<int32_t> r = SendCommand(s, "APOP", argument.c_str());
    explicit_bzero(argument.data(), argument.size());
    if (const Status accepted = Accepted(r, cvErrorAuthenticationFailed); !accepted.ok()) return accepted;
  } else if (method == 0) {
    if (const Status accepted = Accepted(SendCommand(s, "USER", user), cvErrorInvalidUserName); !accepted.ok())
      return accepted;
    if (const Status accepted = Accepted(SendCommand(s, "PASS", password), cvErrorInvalidPassword); !accepted.ok())
      return accepted;
  } else {
    return Status(cvErrorInvalidAuthenticationType);
  }
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  s.messageCount = s.lastMessage = s.mailboxSize = s.deletedOctets = 0;
  s.loggedIn = 1;
  // The counters stay 0 when STAT is not answered: the login stands.
  if (const Result<int32_t> stat = SendCommand(s, "STAT", nullptr); stat.ok() && stat.value() == 1) ParseStat(s);
  return {};
}

}  // namespace

int32_t Pop3Login(LibHandle handle, uint32_t method, const char* user, const char* password) {
  Operation op(handle);
  if (!op) return -1;
  const Status logged = Login(*op, method, user, password);
  return FinishExchange(logged.ok() ? Result<int32_t>(0) : Result<int32_t>(logged));
}

// ---- TLS of a session ----

int32_t Pop3TlsCreateCredentials(LibHandle handle) { return TlsCalls::CreateCredentials(handle); }
int32_t Pop3TlsHandshake(LibHandle handle) { return TlsCalls::Handshake(handle); }
int32_t Pop3TlsVerifyServer(LibHandle handle) { return TlsCalls::VerifyServer(handle); }
int32_t Pop3TlsShutdown(LibHandle handle) { return TlsCalls::Shutdown(handle); }
int32_t SecPop3HandshakeLoop(LibHandle handle, int32_t readFirst) { return TlsCalls::HandshakeLoop(handle, readFirst); }
int32_t SecPop3Receive(LibHandle handle, char* buffer) {
  return TlsCalls::Receive(handle, buffer, int32_t(kPop3SecReceiveSize));
}
int32_t SecPop3Send(LibHandle handle, const char* data, int32_t length) { return TlsCalls::Send(handle, data, length); }
int32_t Pop3GetSecurityInfo(LibHandle handle, SecSessionInfo* info) { return TlsCalls::SecurityInfo(handle, info); }
