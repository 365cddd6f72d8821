// What a host driving the session itself needs: raw reads and writes, the reply text, the
// timeout, readiness tests, the session state, the multi-line marker for its own commands,
// tracing and the local address.
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "core/trace/trace.h"
#include "mail/sock/mailsock.h"
#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"
#include "pop3/pop3_control.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {
namespace {

constexpr uint32_t kMaxTimeoutSeconds = 600;
constexpr int kReadableWaitMs = 250;

// The session for a query that any thread may make; the caller's last error stays.
Pop3Session* AnyThreadSession(LibHandle handle) {
  const Result<Pop3Session*> found = Library().Lookup(handle);
  return found.ok() ? found.value() : nullptr;
}

bool SocketReady(const Pop3Session& s, short events, int ms) {
  if (s.header.controlSocket == INVALID_SOCKET) return false;
  pollfd fd{int(s.header.controlSocket), events, 0};
  return poll(&fd, 1, ms) == 1 && (fd.revents & events);
}

// Fills address and port from a native socket address; the family (2 or 23), or 0.
uint32_t FromNative(const sockaddr_storage& native, SockAddress* address, uint32_t* port) {
  if (native.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(native);
    if (address) {
      address->family = 2;
      std::memcpy(address->address, &in.sin_addr, 4);
    }
    if (port) *port = ntohs(in.sin_port);
    return 2;
  }
  if (native.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(native);
    if (address) {
      address->family = 23;
      std::memcpy(address->address, &in6.sin6_addr, 16);
    }
    if (port) *port = ntohs(in6.sin6_port);
    return 23;
  }
  return 0;
}

}  // namespace

Result<int32_t> Write(Pop3Session& s, const char* data, int32_t size) noexcept {
  if (s.replyPending || s.multiLine) return Status(cvErrorOperationInProgress);
  if (!data || size < 0) return Status(cvErrorInvalidParameter);
  SetState(s, cvmail::MailState::Writing);
  s.busy.store(1);
  auto finish = [&](Result<int32_t> result) {
    s.busy.store(0);
    if (!Gone(s)) SetState(s, cvmail::MailState::Idle);
    return result;
  };
  // Without a socket window the socket blocks: wait for room first (no limit for 0 seconds).
  if (!s.notify.socketWindow) {
    const uint32_t ms = s.timeout ? s.timeout * 1000u : plat::INFINITE;
    if (const Status waited = WaitSocket(s, POLLOUT, ms, cvmail::kMailEventTimeout); !waited.ok())
      return finish(waited);
  }
  if (const Status sent = SendBytes(s, data, uint32_t(size)); !sent.ok()) return finish(sent);
  if (!s.replyPending) s.bytesCopied.fetch_add(uint32_t(size));
  return finish(size);
}

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3EnableTrace(const char* file, int32_t flags) { return TraceEnable(file, flags); }

int32_t Pop3DisableTrace() { return TraceDisable(); }

int32_t Pop3GetResultString(LibHandle handle, char* buffer) {
  Operation op(handle);
  if (!op) return -1;
  if (!buffer) return Finish(Status(cvErrorInvalidParameter));
  buffer[0] = '\0';
  Pop3Session& s = *op;
  // A status line still owed is read first; the text is handed out whatever its read ran
  // into, and the read's outcome becomes the last error.
  const bool owed = s.replyPending != 0;
  Status read;
  if (owed) {
    read = ReadReply(s).status();
    if (Gone(s)) return Finish(Status(cvErrorInvalidHandle));
  }
  const size_t n = strnlen(s.replyText, kPop3ResultStringSize - 1);
  std::memcpy(buffer, s.replyText, n);
  buffer[n] = '\0';
  if (owed) Library().SetLastError(read.error());
  return int32_t(n);
}

int32_t Pop3Read(LibHandle handle, char* buffer, int32_t size) {
  Operation op(handle);
  if (!op) return -1;
  if (size == 0) return 0;
  if (size < 0 || !buffer) return Finish(Status(cvErrorInvalidParameter));
  Status cut;
  const Result<int32_t> read = ReadData(*op, buffer, size, &cut);
  return FinishRead(read, cut);
}

int32_t Pop3Write(LibHandle handle, const char* data, int32_t size) {
  Operation op(handle);
  if (!op) return -1;
  return Finish(Write(*op, data, size));
}

int32_t Pop3GetTimeout(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return int32_t(op->timeout);
}

int32_t Pop3SetTimeout(LibHandle handle, uint32_t seconds) {
  Operation op(handle);
  if (!op) return -1;
  op->timeout = std::min(seconds, kMaxTimeoutSeconds);
  return 0;
}

int32_t Pop3IsBlocked(LibHandle handle) {
  Pop3Session* s = AnyThreadSession(handle);
  return s && s->busy.load() ? 1 : 0;
}

int32_t Pop3IsReadable(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  Pop3Session& s = *op;
  if (s.busy.load()) return Finish(Status(cvErrorOperationInProgress), 0);
  // Bytes already received (or decrypted) count as readable.
  if (!s.received.empty() || s.pendingCount || Tls::Stream(s).Buffered()) return 1;
  if (SocketReady(s, POLLIN, kReadableWaitMs)) return 1;
  plat::Sleep(1);
  return 0;
}

int32_t Pop3IsWritable(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  if (op->busy.load()) return Finish(Status(cvErrorOperationInProgress), 0);
  return SocketReady(*op, POLLOUT, 0) ? 1 : 0;
}

int32_t Pop3BeginMultiLine(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  Pop3Session& s = *op;
  s.multiLine = 1;
  s.responseEnded = 0;
  s.terminatorState = 2;  // the status line's line end counts: an end line may follow at once
  // Bytes already there are announced at once; nothing there yet is no failure of this call.
  if (s.notify.socketWindow && !s.windowSuspended && FillReceiveBuffer(s).ok() && !Gone(s))
    PostSocketEvent(s, plat::FD_READ);
  return 0;
}

int32_t Pop3GetState(LibHandle handle) {
  Pop3Session* s = Library().FindSession(handle);
  return s ? int32_t(s->state) : -1;
}

int32_t Pop3GetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address, uint32_t* port) {
  if (address) *address = SockAddress{};
  if (port) *port = 0;
  // No session (or another thread's) asks about the host instead, leaving the error alone.
  const Result<Pop3Session*> owned = Library().LookupOwned(handle);
  Pop3Session* s = owned.ok() ? owned.value() : nullptr;
  if (s && s->header.controlSocket != INVALID_SOCKET) {
    sockaddr_storage native{};
    int32_t length = sizeof native;
    if (SockGetLocalName(s->header.controlSocket, reinterpret_cast<sockaddr*>(&native), &length) != 0)
      return Finish(SessionCalls::SocketFailure());
    const uint32_t found = FromNative(native, nullptr, nullptr);
    // A family the record cannot hold is reported without filling it.
    if (found) FromNative(native, address, port);
    return found ? int32_t(found) : int32_t(native.ss_family);
  }
  if (family == 0) family = (s && (s->options & kPop3OptionIpv6Only)) ? 23 : 2;
  char name[kSockHostNameSize] = "";
  if (SockGetHostName256(name) != 0) return Finish(Status(cvErrorUnknownLocalhost));
  name[sizeof name - 1] = '\0';
  addrinfo hints{};
  hints.ai_family = int(family);  // the Windows number: the lookup translates it
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (SockLookupHost(name, &hints, &list) != 0 || !list) return Finish(Status(cvErrorUnknownLocalhost));
  sockaddr_storage native{};
  std::memcpy(&native, list->ai_addr, std::min<size_t>(list->ai_addrlen, sizeof native));
  SockFreeHostList(list);
  const uint32_t found = FromNative(native, address, nullptr);
  return found ? int32_t(found) : Finish(Status(cvErrorUnknownLocalhost));
}
