// Opening and closing a transfer, and the buffered reading and writing of its data with
// the ASCII and EBCDIC conversions. Data sockets stay non-blocking: a receive is tried
// first and waited for only when nothing is there, so a flowing transfer costs one call
// per buffer.
#include <poll.h>
#include <strings.h>

#include <cstring>

#include "core/url/url.h"
#include "ftp/ftp_ebcdic.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_notify.h"
#include "ftp/ftp_sftp.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_transfer.h"
#include "ftp/ftp_wait.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/net/wsa_errors.h"
#include "platform/net/wsa_types.h"

namespace cvftp {

namespace {

constexpr const char* kTransferCommands[] = {"RETR", "STOR", "APPE"};
// How long a canceled transfer waits for the server's final reply before owing it.
constexpr uint32_t kCanceledReplyMs = 150;

bool IsSftp(const FtpSession& s) noexcept { return (s.options & kOptSftp) != 0; }

uint32_t NonZeroTick() noexcept {
  const uint32_t t = plat::GetTickCount();
  return t ? t : 1;
}

void PostSocketEvent(FtpSession& s, int32_t fdEvent) noexcept {
  if (s.notify.socketWindow && s.dataSocket != INVALID_SOCKET)
    plat::PostMessage(s.notify.socketWindow, s.notify.socketMessage, WPARAM(s.dataSocket),
                      plat::WSAMakeSelectReply(uint32_t(fdEvent), 0));
}

uint32_t CurrentType(const FtpSession& s) noexcept { return s.listingTypeOverride ? kTypeAscii : s.fileType; }

// A name that is a URL of this session's own server stands for its path.
Status TakeUrlPath(FtpSession& s, const char* name, std::string& out) noexcept {
  if (s.proxyType != kProxyNone || FtpUrlScheme(name) == 0) return {};
  FtpUrl* url = nullptr;
  if (!FtpParseUrl(name, &url)) return {};  // not a URL after all: the name as it is
  bool own = url->host && strcasecmp(url->host, s.hostName) == 0 && (url->port == 0 || url->port == s.serverPort);
  if (own) {
    if (!url->file || !*url->file) {
      UrlFree(url);
      return Status(cvErrorInvalidFileName);
    }
    out = (url->path && *url->path) ? "/" + std::string(url->path) + "/" + url->file : std::string("/") + url->file;
  }
  UrlFree(url);
  return {};
}

// One receive into buffer: the bytes, 0 at the end. The receive is tried first and waited
// for only when nothing is there.
Result<int32_t> ReceiveOnce(FtpSession& s, char* buffer, uint32_t size) noexcept {
  const int32_t n =
      cvcore::ReceiveSome(ChannelStream(s, FtpChannel::Data), buffer, size, cvcore::StreamOrder::TryFirst);
  if (n < 0) return StreamError(s);
  return n;
}

// What a send loop met beside the bytes it sent.
struct SendOutcome {
  uint32_t sent = 0;
  bool failed = false;
  Status failure;  // when failed
  bool timedOut = false;
  bool canceled = false;
  bool gone = false;
  bool noFileSend = false;  // the stream cannot send from the file: nothing of this call went
};

// Sends length bytes on the data channel with the session blocked, each attempt
// attempt(bytes sent so far) (one try of the stream, without waiting): all of them with
// wait (a send that makes no progress for the timeout is a stall, however much went
// before), else what goes without waiting. Counts what went; an attempt that gives 0 (the
// end of a file) ends the loop early.
template <typename Attempt>
SendOutcome SendLoop(FtpSession& s, uint32_t length, bool wait, Attempt attempt) noexcept {
  SendOutcome o;
  const uint32_t timeoutMs = SessionTimeoutMs(s);
  uint32_t lastProgress = plat::GetTickCount();
  const FtpState previous = s.state.load();
  if (previous == FtpState::Idle) SetState(s, FtpState::Sending);
  s.blocked.store(1);
  while (o.sent < length) {
    const int32_t n = attempt(o.sent);
    if (n == 0) break;
    if (n == cvcore::kStreamNoFileSend) {
      o.noFileSend = true;
      break;
    }
    if (n == -1) {
      o.failed = true;
      o.failure = StreamError(s);
      break;
    }
    if (n == cvcore::kStreamWouldBlock) {
      if (!wait) break;
      const uint32_t spent = plat::GetTickCount() - lastProgress;
      if (spent >= timeoutMs) {
        o.timedOut = true;
        break;
      }
      const RawWait w = WaitRaw(s, s.dataSocket, POLLOUT, timeoutMs - spent);
      if (w.status == RawWait::Gone) {
        o.gone = true;
        return o;
      }
      o.canceled = w.status == RawWait::Canceled;
      o.timedOut = w.status == RawWait::Timeout;
      if (w.status == RawWait::Failed) {
        o.failed = true;
        o.failure = PlatformError();
      }
      if (w.status != RawWait::Ready) break;
      continue;
    }
    o.sent += uint32_t(n);
    lastProgress = plat::GetTickCount();
    s.bytesTransferred.fetch_add(uint64_t(n), std::memory_order_relaxed);
  }
  s.blocked.store(0);
  SetState(s, previous);
  return o;
}

SendOutcome SendBlocked(FtpSession& s, const char* data, uint32_t length, bool wait) noexcept {
  cvcore::ByteStream& out = ChannelStream(s, FtpChannel::Data);
  return SendLoop(s, length, wait, [&](uint32_t at) { return out.Send(data + at, length - at); });
}

// The failure of a blocking send loop that did not send everything.
Status SendError(FtpSession& s, const SendOutcome& o) noexcept {
  if (o.gone) return kSessionGone;
  if (o.timedOut) return ErrorWithEvent(s, cvErrorOperationTimeout, kEventTimeout);
  if (o.canceled) return CanceledError(s);
  return o.failure;
}

}  // namespace

Result<int32_t> OpenFileEx(FtpSession& s, const char* name, uint32_t mode, uint64_t offset, TypeProbe* probe) noexcept {
  std::string path;
  if (!Empty(name))
    if (const Status taken = TakeUrlPath(s, name, path); !taken.ok()) return taken;
  if (!path.empty()) name = path.c_str();
  if (IsSftp(s)) {
    if (const Status opened = sftp::OpenFile(s, name, mode, offset); !opened.ok()) return opened;
    return 0;
  }
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (mode == kDirectionAppend && offset != 0) return Status(cvErrorOperationNotSupported);
  if (mode > kDirectionAppend) return Status(cvErrorInvalidParameter);
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);

  s.bytesTransferred.store(0);
  if (s.autoFileType) {
    const Result<int32_t> type = AutoFileType(s, name, probe);
    if (type.ok() && type.value() >= int32_t(kTypeAscii) && type.value() <= int32_t(kTypeImage) &&
        uint32_t(type.value()) != s.fileType)
      if (const Result<int32_t> typed = SendType(s, uint32_t(type.value())); !typed.ok()) return typed;
    if (Gone(s)) return kSessionGone;
  }
  const FtpState previous = SetState(s, FtpState::OpeningTransfer);
  auto fail = [&](Status failure) -> Result<int32_t> {
    CloseDataChannel(s);
    s.restartPending.store(0);
    if (!Gone(s)) SetState(s, previous);
    return failure;
  };
  if (const Status opened = OpenDataConnection(s, mode, offset); !opened.ok()) return fail(GoneOr(s, opened));
  const Result<int32_t> r = SendCommand(s, kTransferCommands[mode], name, cvErrorInvalidFileName);
  if (Gone(s)) return fail(kSessionGone);
  if (!r.ok()) return fail(NameDataRefusal(s, r.status()));
  if (r.value() != 125 && r.value() != 150) {
    // A positive reply that opens no transfer: the caller hears the code, and no data flows.
    CloseDataChannel(s);
    s.restartPending.store(0);
    SetState(s, previous);
    return r;
  }
  if (!s.passive)
    if (const Status accepted = AcceptDataConnection(s); !accepted.ok()) {
      // The server will report the failed connection: that reply is read before the next command.
      if (!Gone(s)) OweReply(s);
      return fail(accepted);
    }
  if (const Status protectedData = ProtectDataChannel(s); !protectedData.ok()) {
    // Only the data connection failed: the session goes on, and the server's reply to
    // the failed transfer is read before the next command.
    OweReply(s);
    return fail(protectedData);
  }
  SetState(s, previous);
  return r;
}

Result<int32_t> CloseFile(FtpSession& s) noexcept {
  if (IsSftp(s)) {
    if (const Status closed = sftp::CloseFile(s); !closed.ok()) return closed;
    return 0;
  }
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  const bool canceled = s.cancelRequested.load() != 0;
  if (s.dataDirection != kDirectionReceive && !canceled && s.bytesBuffered > 0) {
    // What cannot be sent now is lost with the connection; the server's reply says so.
    static_cast<void>(FlushSendBuffer(s, true));
    if (Gone(s)) return kSessionGone;
  }
  SetState(s, FtpState::ClosingTransfer);
  CloseDataChannel(s);
  s.blocked.store(0);
  s.endOfData = 0;
  s.dataError = 0;
  s.restartPending.store(0);
  s.bytesBuffered = 0;
  s.dataCursor = s.dataBuffer;
  s.transferEnd.store(NonZeroTick());

  Result<int32_t> result = Status();
  if (canceled) {
    s.cancelRequested.store(0);
    s.cancelSignal.Reset();
    // The aborted command owes its final reply, which a server sends as soon as it sees
    // the data connection gone. A cancel does not wait for a slow one: a reply still
    // missing is owed, and the next command takes it before its own.
    s.replyPending = 1;
    {
      WaitDeadline bound(s, kCanceledReplyMs);
      WithheldEvents quiet(s, kEventTimeout | kEventCommandReply);
      static_cast<void>(ReadReply(s));  // the cancel is the outcome, whatever the reply
    }
    if (Gone(s)) return kSessionGone;
    if (s.channelDebt == FtpChannelDebt::Unknown) static_cast<void>(ResyncCommandChannel(s));
    if (Gone(s)) return kSessionGone;
    if (!s.cancelReported) FireEvent(s, kEventCanceled, cvErrorOperationCanceled);
    s.cancelReported = 0;
    if (Gone(s)) return kSessionGone;
    result = Status(cvErrorOperationCanceled);
  } else {
    s.replyPending = 1;
    result = ReadReply(s);
    if (Gone(s)) return kSessionGone;
    if (!result.ok()) {
      const uint32_t e = result.error();
      // A clean-up under a time bound leaves a broken channel to the next command.
      if (e == cvErrorInvalidServerResponse && !s.waitDeadlineSet) {
        if (!Reconnect(s).ok()) return Status(cvErrorServerResyncFailed);
      } else if (e == cvErrorConnectionClosed) {
        result = Status(cvErrorCommandAborted);
      }
    }
  }
  SetState(s, FtpState::Idle);
  if (s.listingTypeOverride) {
    s.listingTypeOverride = 0;
    // A final reply still owed: the type goes back before the next command, once the
    // channel is in step again, not after one more wait now.
    if (!result.ok() && s.channelDebt != FtpChannelDebt::None) {
      s.typeRestoreOwed = 1;
      return result;
    }
    const Result<int32_t> r = SendSessionType(s);
    if (Gone(s)) return kSessionGone;
    // A failed listing keeps its own error.
    if (!r.ok() || r.value() != 200) return FirstFailure(result.status(), Status(cvErrorInvalidServerResponse));
  }
  return result;
}

namespace {

// One receive of the transfer into buffer, counted; the end of the data is a failure
// (12263).
Result<int32_t> ReceiveInto(FtpSession& s, char* buffer, uint32_t size) noexcept {
  const FtpState previous = s.state.load();
  if (previous == FtpState::Idle) SetState(s, FtpState::Receiving);
  const Result<int32_t> n = ReceiveOnce(s, buffer, size);
  if (Gone(s)) return kSessionGone;
  SetState(s, previous);
  if (!n.ok()) return n;
  if (n.value() == 0) {
    s.endOfData = 1;
    return Status(cvErrorEndOfData);
  }
  s.bytesTransferred.fetch_add(uint64_t(n.value()), std::memory_order_relaxed);
  return n;
}

}  // namespace

Result<int32_t> FillReceiveBuffer(FtpSession& s) noexcept {
  if (IsSftp(s)) return Status(cvErrorOperationNotSupported);
  if (s.cancelRequested.load()) return CanceledError(s);
  if (s.dataDirection != kDirectionReceive) return Status(cvErrorDataWriteOnly);
  if (s.bytesBuffered > 0) return int32_t(s.bytesBuffered);
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.endOfData) return Status(cvErrorEndOfData);
  if (s.dataError) return Status(s.dataError);
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);
  const Result<int32_t> n = ReceiveInto(s, s.dataBuffer, s.dataBufferSize);
  if (n.ok()) {
    s.dataCursor = s.dataBuffer;
    s.bytesBuffered = uint32_t(n.value());
  }
  return n;
}

Result<int32_t> ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept {
  if (IsSftp(s)) return sftp::ReadData(s, buffer, length);
  if (!buffer || length < 1 || length > 0x7FFFFFFFu) return Status(cvErrorInvalidParameter);
  if (s.cancelRequested.load()) return CanceledError(s);
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.endOfData && s.bytesBuffered == 0) return Status(cvErrorEndOfData);
  if (s.dataDirection != kDirectionReceive) return Status(cvErrorDataWriteOnly);
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);

  const uint32_t type = CurrentType(s);
  // Image data asked for in whole buffers goes straight into the caller's buffer: the
  // same bytes as through the session buffer, without the copy.
  if (type == kTypeImage && s.bytesBuffered == 0 && length >= s.dataBufferSize && !s.endOfData && !s.dataError)
    return ReceiveInto(s, buffer, length);
  uint32_t copied = 0;
  bool lineDone = false;
  while (copied < length && !lineDone) {
    if (s.bytesBuffered == 0) {
      if (const Result<int32_t> filled = FillReceiveBuffer(s); !filled.ok()) {
        if (Gone(s)) return kSessionGone;
        const uint32_t e = filled.error();
        if (copied > 0) {
          // The bytes go out now; the failure is the next read's.
          if (e != cvErrorEndOfData && e != cvErrorOperationCanceled) s.dataError = e;
          return int32_t(copied);
        }
        return filled;
      }
    }
    const char* from = s.dataCursor;
    uint32_t take = std::min(length - copied, s.bytesBuffered);
    if (type == kTypeImage) {
      std::memcpy(buffer + copied, from, take);
      copied += take;
    } else if (type == kTypeAscii) {
      if (const void* lf = std::memchr(from, '\n', take)) {
        take = uint32_t(static_cast<const char*>(lf) - from) + 1;
        lineDone = true;
      }
      std::memcpy(buffer + copied, from, take);
      copied += take;
    } else {
      uint32_t used = 0;
      while (used < take && copied < length) {
        const uint8_t c = uint8_t(from[used]);
        if (c == ebcdic::kLineEnd) {
          if (length - copied < 2) break;  // the line end needs two bytes of room
          buffer[copied++] = '\r';
          buffer[copied++] = '\n';
          ++used;
          lineDone = true;
          break;
        }
        const char a = char(ebcdic::kToAscii[c]);
        buffer[copied++] = a;
        ++used;
        if (a == '\n') {
          lineDone = true;
          break;
        }
      }
      if (used == 0) break;  // no room for a line end: the caller reads it next time
      take = used;
    }
    s.dataCursor += take;
    s.bytesBuffered -= take;
  }
  if (s.bytesBuffered > 0) PostSocketEvent(s, plat::FD_READ);
  return int32_t(copied);
}

Result<int32_t> FlushSendBuffer(FtpSession& s, bool wait) noexcept {
  if (IsSftp(s)) return Status(cvErrorOperationNotSupported);
  if (s.cancelRequested.load()) return CanceledError(s);
  if (s.dataDirection == kDirectionReceive) return Status(cvErrorDataReadOnly);
  if (s.bytesBuffered == 0) return 0;
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);

  const SendOutcome o = SendBlocked(s, s.dataBuffer, s.bytesBuffered, wait);
  if (o.gone) return kSessionGone;
  const uint32_t sent = o.sent;
  if (sent > 0) {
    std::memmove(s.dataBuffer, s.dataBuffer + sent, s.bytesBuffered - sent);
    s.bytesBuffered -= sent;
  }
  if (s.bytesBuffered > 0) PostSocketEvent(s, plat::FD_WRITE);
  if (o.timedOut) return ErrorWithEvent(s, cvErrorOperationTimeout, kEventTimeout);
  if (sent == 0) {
    if (o.canceled) return CanceledError(s);
    if (o.failed) return o.failure;
  }
  return int32_t(sent);
}

Result<int32_t> WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept {
  if (IsSftp(s)) return sftp::WriteData(s, buffer, length);
  if (!buffer || length < 1 || length > 0x7FFFFFFFu) return Status(cvErrorInvalidParameter);
  if (s.cancelRequested.load()) return CanceledError(s);
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.dataDirection == kDirectionReceive) return Status(cvErrorDataReadOnly);
  if (s.blocked.load()) return Status(cvErrorOperationInProgress);

  const bool wait = s.notify.socketWindow == nullptr;
  const bool ebcdicType = s.fileType == kTypeEbcdic;
  // Makes room in the buffer.
  auto makeRoom = [&]() -> Status {
    while (s.bytesBuffered >= s.dataBufferSize) {
      if (const Result<int32_t> flushed = FlushSendBuffer(s, wait); !flushed.ok()) return GoneOr(s, flushed.status());
      if (Gone(s)) return kSessionGone;
    }
    return {};
  };
  if (wait && !ebcdicType && s.bytesBuffered == 0 && length >= s.dataBufferSize) {
    // Data given in whole buffers goes straight out of the caller's buffer: the same bytes
    // as through the session buffer, without the copy, and in sends as large as the socket
    // takes.
    const SendOutcome o = SendBlocked(s, buffer, length, true);
    if (o.gone || o.timedOut || o.canceled || o.failed) return SendError(s, o);
    return int32_t(length);
  }
  uint32_t taken = 0;
  while (taken < length) {
    if (const Status room = makeRoom(); !room.ok()) return room;
    char* to = s.dataBuffer + s.bytesBuffered;
    const uint32_t room = s.dataBufferSize - s.bytesBuffered;
    if (!ebcdicType) {
      const uint32_t n = std::min(room, length - taken);
      std::memcpy(to, buffer + taken, n);
      s.bytesBuffered += n;
      taken += n;
      continue;
    }
    uint32_t stored = 0;
    for (; stored < room && taken < length; ++taken) {
      const uint8_t c = uint8_t(buffer[taken]);
      if (c == '\r') continue;
      to[stored++] = c == '\n' ? char(ebcdic::kLineEnd) : char(ebcdic::kFromAscii[c]);
    }
    s.bytesBuffered += stored;
  }
  if (const Result<int32_t> flushed = FlushSendBuffer(s, wait); !flushed.ok()) return GoneOr(s, flushed.status());
  return int32_t(taken);
}

Result<int64_t> SendFromFile(FtpSession& s, int file, uint64_t offset, uint32_t length) noexcept {
  if (s.cancelRequested.load()) return CanceledError(s);
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  // Only a blocking transfer with nothing buffered may send around the session buffer.
  if (s.notify.socketWindow || s.bytesBuffered > 0 || s.dataDirection == kDirectionReceive || s.blocked.load())
    return kSendFromFileUnable;
  cvcore::ByteStream& out = ChannelStream(s, FtpChannel::Data);
  const SendOutcome o =
      SendLoop(s, length, true, [&](uint32_t at) { return out.SendFile(file, offset + at, length - at); });
  if (o.gone || o.timedOut || o.canceled || o.failed) return SendError(s, o);
  if (o.noFileSend && o.sent == 0) return kSendFromFileUnable;
  return int64_t(o.sent);
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpOpenFile(LibHandle handle, const char* name, uint32_t mode) { return FtpOpenFileEx(handle, name, mode, 0); }

int32_t FtpOpenFileEx(LibHandle handle, const char* name, uint32_t mode, uint64_t offset) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::OpenFileEx(s, name, mode, offset, nullptr), -1);
}

int32_t FtpCloseFile(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::CloseFile(s), -1);
}

// The data calls: a success leaves the last error 0; the end of the data reads as 0 bytes
// with the end-of-data error.
int32_t FtpFillReceiveBuffer(LibHandle handle) {
  Operation op(handle);
  return op ? cvftp::Library().FinishClean(cvftp::FillReceiveBuffer(*op.session()), -1) : -1;
}

int32_t FtpReadData(LibHandle handle, void* buffer, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  const cvftp::Result<int32_t> n = cvftp::ReadData(*op.session(), static_cast<char*>(buffer), length);
  return cvftp::Library().FinishClean(n, n.error() == cvErrorEndOfData ? 0 : -1);
}

int32_t FtpWriteData(LibHandle handle, const void* buffer, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  return cvftp::Library().FinishClean(cvftp::WriteData(*op.session(), static_cast<const char*>(buffer), length), -1);
}

int32_t FtpFlushSendBuffer(LibHandle handle, uint32_t wait) {
  Operation op(handle);
  return op ? cvftp::Library().FinishClean(cvftp::FlushSendBuffer(*op.session(), wait != 0), -1) : -1;
}

int32_t FtpIsDataEnd(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) {
    // The SSH layer's word on the data stands as the last error, whatever it is.
    uint32_t error = 0;
    const int32_t end = cvftp::sftp::IsDataEnd(s, error);
    cvftp::Library().SetLastError(error);
    return end;
  }
  return s.endOfData && s.bytesBuffered == 0 ? 1 : 0;
}
