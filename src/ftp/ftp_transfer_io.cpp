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
bool TakeUrlPath(FtpSession& s, const char* name, std::string& out) noexcept {
  if (s.proxyType != kProxyNone || FtpUrlScheme(name) == 0) return true;
  FtpUrl* url = nullptr;
  if (!FtpParseUrl(name, &url)) return true;  // not a URL after all: the name as it is
  bool own = url->host && strcasecmp(url->host, s.hostName) == 0 && (url->port == 0 || url->port == s.serverPort);
  if (own) {
    if (!url->file || !*url->file) {
      UrlFree(url);
      return Fail(cvErrorInvalidFileName), false;
    }
    out = (url->path && *url->path) ? "/" + std::string(url->path) + "/" + url->file : std::string("/") + url->file;
  }
  UrlFree(url);
  return true;
}

// One receive into buffer: the bytes, 0 at the end, -1 with the error. The receive is
// tried first and waited for only when nothing is there.
int32_t ReceiveOnce(FtpSession& s, char* buffer, uint32_t size) noexcept {
  return cvcore::ReceiveSome(ChannelStream(s, FtpChannel::Data), buffer, size, cvcore::StreamOrder::TryFirst);
}

// What a send loop met beside the bytes it sent.
struct SendOutcome {
  uint32_t sent = 0;
  bool failed = false;
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
        TakePlatformError();
        o.failed = true;
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

// The last error of a blocking send loop that did not send everything; -1.
int32_t FailSend(FtpSession& s, const SendOutcome& o) noexcept {
  if (o.gone) return FailGone();
  if (o.timedOut) return FailWithEvent(s, cvErrorOperationTimeout, kEventTimeout);
  if (o.canceled) return FailCanceled(s);
  return -1;
}

}  // namespace

int32_t OpenFileEx(FtpSession& s, const char* name, uint32_t mode, uint64_t offset, TypeProbe* probe) noexcept {
  std::string path;
  if (!Empty(name) && !TakeUrlPath(s, name, path)) return -1;
  if (!path.empty()) name = path.c_str();
  if (IsSftp(s)) return sftp::OpenFile(s, name, mode, offset);
  if (Empty(name)) return Fail(cvErrorInvalidFileName);
  if (mode == kDirectionAppend && offset != 0) return Fail(cvErrorOperationNotSupported);
  if (mode > kDirectionAppend) return Fail(cvErrorInvalidParameter);
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  if (s.blocked.load()) return Fail(cvErrorOperationInProgress);

  s.bytesTransferred.store(0);
  if (s.autoFileType) {
    const int32_t type = AutoFileType(s, name, probe);
    if (type >= int32_t(kTypeAscii) && type <= int32_t(kTypeImage) && uint32_t(type) != s.fileType &&
        SendType(s, uint32_t(type)) == -1)
      return -1;
    if (Gone(s)) return FailGone();
  }
  const FtpState previous = SetState(s, FtpState::OpeningTransfer);
  auto fail = [&](int32_t result) {
    CloseDataChannel(s);
    s.restartPending.store(0);
    if (!Gone(s)) SetState(s, previous);
    return result;
  };
  if (OpenDataConnection(s, mode, offset) == -1) return fail(Gone(s) ? FailGone() : -1);
  const int32_t r = SendCommand(s, kTransferCommands[mode], name, cvErrorInvalidFileName);
  if (Gone(s)) return fail(FailGone());
  if (r != 125 && r != 150) {
    if (r == -1) NameDataRefusal(s);
    return fail(r);
  }
  if (!s.passive && AcceptDataConnection(s) == -1) {
    // The server will report the failed connection: that reply is read before the next command.
    if (!Gone(s)) OweReply(s);
    return fail(-1);
  }
  if (ProtectDataChannel(s) == -1) {
    // Only the data connection failed: the session goes on, and the server's reply to
    // the failed transfer is read before the next command.
    const uint32_t error = Library().GetLastError();
    OweReply(s);
    return fail(Fail(error));
  }
  SetState(s, previous);
  return r;
}

int32_t CloseFile(FtpSession& s) noexcept {
  if (IsSftp(s)) return sftp::CloseFile(s);
  if (s.dataSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  const bool canceled = s.cancelRequested.load() != 0;
  if (s.dataDirection != kDirectionReceive && !canceled && s.bytesBuffered > 0) {
    const uint32_t kept = Library().GetLastError();
    FlushSendBuffer(s, true);
    Library().SetLastError(kept);
    if (Gone(s)) return FailGone();
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

  int32_t result;
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
      ReadReply(s);
    }
    if (Gone(s)) return FailGone();
    if (s.channelDebt == FtpChannelDebt::Unknown) ResyncCommandChannel(s);
    if (Gone(s)) return FailGone();
    if (!s.cancelReported) FireEvent(s, kEventCanceled, cvErrorOperationCanceled);
    s.cancelReported = 0;
    if (Gone(s)) return FailGone();
    result = Fail(cvErrorOperationCanceled);
  } else {
    s.replyPending = 1;
    result = ReadReply(s);
    if (Gone(s)) return FailGone();
    if (result == -1) {
      const uint32_t e = Library().GetLastError();
      // A clean-up under a time bound leaves a broken channel to the next command.
      if (e == cvErrorInvalidServerResponse && !s.waitDeadlineSet) {
        if (Reconnect(s) == -1) return Fail(cvErrorServerResyncFailed);
        Fail(e);
      } else if (e == cvErrorConnectionClosed) {
        Fail(cvErrorCommandAborted);
      }
    }
  }
  SetState(s, FtpState::Idle);
  if (s.listingTypeOverride) {
    s.listingTypeOverride = 0;
    // A final reply still owed: the type goes back before the next command, once the
    // channel is in step again, not after one more wait now.
    if (result == -1 && s.channelDebt != FtpChannelDebt::None) {
      s.typeRestoreOwed = 1;
      return result;
    }
    const uint32_t kept = Library().GetLastError();
    const int32_t r = SendSessionType(s);
    if (Gone(s)) return FailGone();
    // A failed listing keeps its own error.
    if (r != 200) return Fail(result == -1 ? kept : cvErrorInvalidServerResponse);
    Library().SetLastError(kept);
  }
  return result;
}

namespace {

// One receive of the transfer into buffer, counted; the end of the data and a failure are
// the last error (12263, or the failure).
int32_t ReceiveInto(FtpSession& s, char* buffer, uint32_t size) noexcept {
  const FtpState previous = s.state.load();
  if (previous == FtpState::Idle) SetState(s, FtpState::Receiving);
  const int32_t n = ReceiveOnce(s, buffer, size);
  if (Gone(s)) return FailGone();
  SetState(s, previous);
  if (n > 0) {
    s.bytesTransferred.fetch_add(uint64_t(n), std::memory_order_relaxed);
    return n;
  }
  if (n == 0) {
    s.endOfData = 1;
    return Fail(cvErrorEndOfData);
  }
  return -1;
}

}  // namespace

int32_t FillReceiveBuffer(FtpSession& s) noexcept {
  Library().SetLastError(0);
  if (IsSftp(s)) return Fail(cvErrorOperationNotSupported);
  if (s.cancelRequested.load()) return FailCanceled(s);
  if (s.dataDirection != kDirectionReceive) return Fail(cvErrorDataWriteOnly);
  if (s.bytesBuffered > 0) return int32_t(s.bytesBuffered);
  if (s.dataSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  if (s.endOfData) return Fail(cvErrorEndOfData);
  if (s.dataError) return Fail(s.dataError);
  if (s.blocked.load()) return Fail(cvErrorOperationInProgress);
  const int32_t n = ReceiveInto(s, s.dataBuffer, s.dataBufferSize);
  if (n > 0) {
    s.dataCursor = s.dataBuffer;
    s.bytesBuffered = uint32_t(n);
  }
  return n;
}

int32_t ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept {
  if (IsSftp(s)) return sftp::ReadData(s, buffer, length);
  if (!buffer || length < 1 || length > 0x7FFFFFFFu) return Fail(cvErrorInvalidParameter);
  if (s.cancelRequested.load()) return FailCanceled(s);
  if (s.dataSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  if (s.endOfData && s.bytesBuffered == 0) {
    Fail(cvErrorEndOfData);
    return 0;
  }
  if (s.dataDirection != kDirectionReceive) return Fail(cvErrorDataWriteOnly);
  if (s.blocked.load()) return Fail(cvErrorOperationInProgress);

  const uint32_t type = CurrentType(s);
  // Image data asked for in whole buffers goes straight into the caller's buffer: the
  // same bytes as through the session buffer, without the copy.
  if (type == kTypeImage && s.bytesBuffered == 0 && length >= s.dataBufferSize && !s.endOfData && !s.dataError) {
    Library().SetLastError(0);
    const int32_t n = ReceiveInto(s, buffer, length);
    if (n == -1 && Library().GetLastError() == cvErrorEndOfData) return 0;
    return n;
  }
  uint32_t copied = 0;
  bool lineDone = false;
  while (copied < length && !lineDone) {
    if (s.bytesBuffered == 0) {
      if (FillReceiveBuffer(s) == -1) {
        if (Gone(s)) return FailGone();
        const uint32_t e = Library().GetLastError();
        if (copied > 0) {
          // The bytes go out now; the failure is the next read's.
          if (e != cvErrorEndOfData && e != cvErrorOperationCanceled) s.dataError = e;
          return int32_t(copied);
        }
        return e == cvErrorEndOfData ? 0 : -1;
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

int32_t FlushSendBuffer(FtpSession& s, bool wait) noexcept {
  Library().SetLastError(0);
  if (IsSftp(s)) return Fail(cvErrorOperationNotSupported);
  if (s.cancelRequested.load()) return FailCanceled(s);
  if (s.dataDirection == kDirectionReceive) return Fail(cvErrorDataReadOnly);
  if (s.bytesBuffered == 0) return 0;
  if (s.blocked.load()) return Fail(cvErrorOperationInProgress);
  if (s.dataSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);

  const SendOutcome o = SendBlocked(s, s.dataBuffer, s.bytesBuffered, wait);
  if (o.gone) return FailGone();
  const uint32_t sent = o.sent;
  if (sent > 0) {
    std::memmove(s.dataBuffer, s.dataBuffer + sent, s.bytesBuffered - sent);
    s.bytesBuffered -= sent;
  }
  if (s.bytesBuffered > 0) PostSocketEvent(s, plat::FD_WRITE);
  if (o.timedOut) return FailWithEvent(s, cvErrorOperationTimeout, kEventTimeout);
  if (sent == 0) {
    if (o.canceled) return FailCanceled(s);
    if (o.failed) return -1;
  }
  return int32_t(sent);
}

int32_t WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept {
  if (IsSftp(s)) return sftp::WriteData(s, buffer, length);
  if (!buffer || length < 1 || length > 0x7FFFFFFFu) return Fail(cvErrorInvalidParameter);
  if (s.cancelRequested.load()) return FailCanceled(s);
  if (s.dataSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  if (s.dataDirection == kDirectionReceive) return Fail(cvErrorDataReadOnly);
  if (s.blocked.load()) return Fail(cvErrorOperationInProgress);

  const bool wait = s.notify.socketWindow == nullptr;
  const bool ebcdicType = s.fileType == kTypeEbcdic;
  // Makes room in the buffer; false when the flush failed.
  auto makeRoom = [&]() {
    while (s.bytesBuffered >= s.dataBufferSize) {
      if (FlushSendBuffer(s, wait) == -1) return false;
      if (Gone(s)) return false;
    }
    return true;
  };
  if (wait && !ebcdicType && s.bytesBuffered == 0 && length >= s.dataBufferSize) {
    // Data given in whole buffers goes straight out of the caller's buffer: the same bytes
    // as through the session buffer, without the copy, and in sends as large as the socket
    // takes.
    const SendOutcome o = SendBlocked(s, buffer, length, true);
    if (o.gone || o.timedOut || o.canceled || o.failed) return FailSend(s, o);
    return int32_t(length);
  }
  uint32_t taken = 0;
  while (taken < length) {
    if (!makeRoom()) return Gone(s) ? FailGone() : -1;
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
  if (FlushSendBuffer(s, wait) == -1) return Gone(s) ? FailGone() : -1;
  return int32_t(taken);
}

int64_t SendFromFile(FtpSession& s, int file, uint64_t offset, uint32_t length) noexcept {
  if (s.cancelRequested.load()) return FailCanceled(s);
  if (s.dataSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  // Only a blocking transfer with nothing buffered may send around the session buffer.
  if (s.notify.socketWindow || s.bytesBuffered > 0 || s.dataDirection == kDirectionReceive || s.blocked.load())
    return kSendFromFileUnable;
  cvcore::ByteStream& out = ChannelStream(s, FtpChannel::Data);
  const SendOutcome o =
      SendLoop(s, length, true, [&](uint32_t at) { return out.SendFile(file, offset + at, length - at); });
  if (o.gone || o.timedOut || o.canceled || o.failed) return FailSend(s, o);
  if (o.noFileSend && o.sent == 0) return kSendFromFileUnable;
  return int64_t(o.sent);
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpOpenFile(LibHandle handle, const char* name, uint32_t mode) { return FtpOpenFileEx(handle, name, mode, 0); }

int32_t FtpOpenFileEx(LibHandle handle, const char* name, uint32_t mode, uint64_t offset) {
  Operation op(handle);
  return op ? cvftp::OpenFileEx(*op.session(), name, mode, offset, nullptr) : -1;
}

int32_t FtpCloseFile(LibHandle handle) {
  Operation op(handle);
  return op ? cvftp::CloseFile(*op.session()) : -1;
}

int32_t FtpFillReceiveBuffer(LibHandle handle) {
  Operation op(handle);
  return op ? cvftp::FillReceiveBuffer(*op.session()) : -1;
}

int32_t FtpReadData(LibHandle handle, void* buffer, uint32_t length) {
  Operation op(handle);
  return op ? cvftp::ReadData(*op.session(), static_cast<char*>(buffer), length) : -1;
}

int32_t FtpWriteData(LibHandle handle, const void* buffer, uint32_t length) {
  Operation op(handle);
  return op ? cvftp::WriteData(*op.session(), static_cast<const char*>(buffer), length) : -1;
}

int32_t FtpFlushSendBuffer(LibHandle handle, uint32_t wait) {
  Operation op(handle);
  return op ? cvftp::FlushSendBuffer(*op.session(), wait != 0) : -1;
}

int32_t FtpIsDataEnd(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) return cvftp::sftp::IsDataEnd(s);
  return s.endOfData && s.bytesBuffered == 0 ? 1 : 0;
}
