// Per-session settings changed between operations: channel protection with the
// mid-session return to a clear command channel (CCC), the local port range of active
// data connections, and the transfer priority with the data buffer size it implies.
#include <cstring>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_tls.h"

namespace cvftp {

namespace {

constexpr uint32_t kPortLowest = 1025;
constexpr uint32_t kPortHighest = 65535;
constexpr uint32_t kKeep = 0xFFFFFFFFu;
constexpr uint32_t kSmallBuffer = 4096;
constexpr uint32_t kLargeBuffer = 16384;
constexpr uint32_t kBufferMin = 256;
constexpr uint32_t kBufferMax = 1048576;

bool Is2xx(int32_t code) noexcept { return code >= 200 && code <= 299; }
bool IsSftp(const FtpSession& s) noexcept { return (s.options & kOptSftp) != 0; }

// CCC on a protected command channel.
Status ClearCommandChannel(FtpSession& s) noexcept {
  if (!(s.features & kFeatureCcc)) return Status(cvErrorFeatureNotSupported);
  // The data protection is settled while the channel can still carry it.
  SendPbszOnce(s);
  if (Gone(s)) return kSessionGone;
  if (s.features & kFeatureProt) {
    const Result<int32_t> prot = SendCommand(s, "PROT", s.dataProtected ? "P" : "C");
    if (!prot.ok() || !Is2xx(prot.value())) s.features &= ~kFeatureProt;
  }
  if (Gone(s)) return kSessionGone;
  const Result<int32_t> r = SendCommand(s, "CCC", nullptr);
  if (Gone(s)) return kSessionGone;
  if (!r.ok()) {
    s.features &= ~kFeatureCcc;
    if (r.error() == cvErrorInvalidCommand) return Status(cvErrorFeatureNotSupported);
    return r.status();
  }
  if (!Is2xx(r.value())) {
    s.features &= ~kFeatureCcc;
    return Status(cvErrorUnexpectedServerResponse);
  }
  if (const Status ended = TlsEndCommandProtection(s); !ended.ok()) return ended;
  s.commandProtected = 0;
  return {};
}

// Clear data connections from now on. A logged-in TLS session asks the server at once
// (PROT C), so that a server which insists on protected data refuses the setting here
// rather than the next transfer with a reply that reads like another fault. A refusal
// leaves the data channel protected.
Status ClearDataChannel(FtpSession& s) noexcept {
  const bool askNow = (s.options & kOptTls) && s.dataProtected && (s.features & kFeatureProt) && s.loggedIn &&
                      s.dataSocket == INVALID_SOCKET;
  if (!askNow) {
    s.dataProtected = 0;  // the next data connection sends PROT accordingly
    return {};
  }
  SendPbszOnce(s);
  if (Gone(s)) return kSessionGone;
  s.replyCode = 0;
  const Result<int32_t> r = SendCommand(s, "PROT", "C");
  if (Gone(s)) return kSessionGone;
  if (r.ok() && Is2xx(r.value())) {
    s.dataProtected = 0;
    return {};
  }
  if (ReplyMissing(s)) return r.ok() ? Status(cvErrorInvalidServerResponse) : r.status();
  if (s.replyCode >= 500 && s.replyCode <= 504) {
    // A server without PROT has clear data connections: the feature goes, as before a transfer.
    s.features &= ~kFeatureProt;
    s.dataProtected = 0;
    return {};
  }
  return Status(cvErrorInvalidSecurityLevel);
}

// The previous protection of a channel, after the change.
Result<int32_t> SetChannelMode(FtpSession& s, uint32_t channel, uint32_t mode) noexcept {
  if (IsSftp(s)) return Status(cvErrorOperationNotSupported);
  if (channel > 1 || mode > 1) return Status(cvErrorInvalidParameter);
  const bool tls = (s.options & kOptTls) != 0;
  if (channel == 1) {
    const int32_t previous = int32_t(s.dataProtected);
    if (mode == 1 && !tls) return Status(cvErrorSecurityNotInitialized);
    if (mode == 0)
      if (const Status cleared = ClearDataChannel(s); !cleared.ok()) return cleared;
    if (mode == 1) s.dataProtected = 1;  // the next data connection sends PROT accordingly
    return previous;
  }
  const int32_t previous = int32_t(s.commandProtected);
  if (mode == 1) {
    if (!tls) return Status(cvErrorSecurityNotInitialized);
    // A channel made clear stays clear.
    if (!s.commandProtected) return Status(cvErrorOperationNotSupported);
  } else if (s.commandProtected) {
    if (const Status cleared = ClearCommandChannel(s); !cleared.ok()) return cleared;
  }
  return previous;
}

}  // namespace

}  // namespace cvftp

using namespace cvftp;

int32_t FtpGetChannelMode(LibHandle handle, uint32_t channel) {
  Operation op(handle);
  if (!op) return -1;
  const FtpSession& s = *op.session();
  if (IsSftp(s)) return Library().Finish(Status(cvErrorOperationNotSupported), 0, -1);
  if (channel > 1) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  return int32_t(channel == 0 ? s.commandProtected : s.dataProtected);
}

int32_t FtpSetChannelMode(LibHandle handle, uint32_t channel, uint32_t mode) {
  Operation op(handle);
  if (!op) return -1;
  return Library().FinishClean(SetChannelMode(*op.session(), channel, mode), -1);
}

int32_t FtpGetActivePorts(LibHandle handle, uint32_t* low, uint32_t* high) {
  Operation op(handle);
  if (!op) return -1;
  const FtpSession& s = *op.session();
  if (IsSftp(s)) return Library().Finish(Status(cvErrorOperationNotSupported), 0, -1);
  if (low) *low = s.activePortLow;
  if (high) *high = s.activePortHigh;
  return 0;
}

int32_t FtpSetActivePorts(LibHandle handle, uint32_t low, uint32_t high) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (IsSftp(s)) return Library().Finish(Status(cvErrorOperationNotSupported), 0, -1);
  auto clamp = [](uint32_t v) { return v < kPortLowest ? kPortLowest : v > kPortHighest ? kPortHighest : v; };
  low = clamp(low == kKeep ? s.activePortLow : low);
  high = clamp(high == kKeep ? s.activePortHigh : high);
  if (low > high) std::swap(low, high);
  s.activePortLow = low;
  s.activePortHigh = high;
  return 0;
}

int32_t FtpGetPriority(LibHandle handle) {
  Operation op(handle);
  return op ? int32_t(op.session()->priority) : -1;
}

int32_t FtpSetBufferSize(LibHandle handle, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  // Other calls of the library find the buffer through the session: swap it under the lock.
  Library().Lock();
  struct Unlock {
    ~Unlock() { Library().Unlock(); }
  } unlock;
  size = size < kBufferMin ? kBufferMin : size > kBufferMax ? kBufferMax : size;
  if (size < s.bytesBuffered) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  if (size == s.dataBufferSize) return int32_t(size);
  char* buffer = static_cast<char*>(Library().MemSessionAlloc(handle, size));
  if (!buffer) return Library().Finish(Status(cvErrorOutOfMemory), 0, -1);
  if (s.bytesBuffered) std::memcpy(buffer, s.dataCursor, s.bytesBuffered);
  Library().MemSessionFree(handle, s.dataBuffer);
  s.dataBuffer = s.dataCursor = buffer;
  s.dataBufferSize = size;
  return int32_t(size);
}

int32_t FtpSetPriority(LibHandle handle, uint32_t priority) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (priority > 4) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  const int32_t previous = int32_t(s.priority);
  uint32_t size = s.dataBufferSize;
  if (priority <= 1 && size > kSmallBuffer) size = kSmallBuffer;
  if (priority >= 3 && size < kLargeBuffer) size = kLargeBuffer;
  // Shrinking below what is still buffered keeps the buffer as it is.
  if (size != s.dataBufferSize && size >= s.bytesBuffered && FtpSetBufferSize(handle, size) == -1) return -1;
  s.priority = priority;
  return previous;
}
