// The parts every SFTP file transfer shares.
#include "ssh/sftp/sftp_transfer.h"

#include "core/errors/error_codes.h"
#include "platform/base/tick.h"
#include "ssh/proto/input.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace cvssh::sftp {

namespace {
constexpr uint32_t kProgressPacingMs = 250;
}

TransferEvents::TransferEvents(SshSession* s, uint32_t flags, const char* local, const char* remote, uint64_t size,
                               uint32_t direction)
    : session_(s) {
  info_.flags = flags;
  info_.directory = DupString(SftpCurrentDirectory(s));
  info_.localFile = DupString(local);
  info_.remoteFile = DupString(remote);
  info_.size = size;
  info_.entryCount = 1;
  info_.direction = direction;
  info_.startTick = plat::GetTickCount();
}

TransferEvents::~TransferEvents() {
  CheckedFree(info_.directory);
  CheckedFree(info_.localFile);
  CheckedFree(info_.remoteFile);
}

void TransferEvents::Started() {
  started_ = true;
  SshFireEvent(session_, kSftpEventTransferStart, &info_);
  SshFireEvent(session_, kSftpEventProgress, &info_);
  lastProgress_ = plat::GetTickCount();
}

void TransferEvents::Moved(uint64_t bytes) {
  info_.bytesCopied += bytes;
  uint32_t now = plat::GetTickCount();
  if (bytes && now - lastProgress_ > kProgressPacingMs) {
    lastProgress_ = now;
    SshFireEvent(session_, kSftpEventProgress, &info_);
  }
}

void TransferEvents::Canceled() {
  if (canceled_) return;
  canceled_ = true;
  SshFireEvent(session_, kSftpEventCanceled, &info_);
}

void TransferEvents::Ended() {
  if (!started_) return;
  info_.endTick = plat::GetTickCount();
  SshFireEvent(session_, kSftpEventProgress, &info_);
  SshFireEvent(session_, kSftpEventTransferEnd, &info_);
}

bool CheckTransfer(SshSession* s, const char* local, bool needLocal, const char* remote, int32_t append,
                   uint64_t offset) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return false;
  }
  if ((needLocal && (!local || !*local)) || !remote || !*remote) {
    SshSetLastError(s, cvErrorInvalidFileName);
    return false;
  }
  if (append && offset) {
    SshSetLastError(s, cvErrorInvalidParameter);
    return false;
  }
  if (SftpGetTransfer(s)) {
    SshSetLastError(s, cvErrorConnectionOpen);
    return false;
  }
  return true;
}

namespace {

size_t Unanswered(const SftpTransferQueue* q) {
  size_t n = 0;
  for (const SftpQueueEntry* e = q->first; e; e = e->next)
    if (e->request) ++n;
  return n;
}

}  // namespace

bool Outstanding(const SftpTransferQueue* q) { return Unanswered(q) > 0; }

void Drain(SftpTransferQueue* q, bool download) {
  SshSession* s = q->session;
  const uint32_t error = SshGetLastError(s);
  SftpTransferSetError(q);
  // The replies owed come in a burst; the drain as a whole gets one timeout, so that a
  // server trickling them does not stretch the failed call without end.
  const uint32_t start = plat::GetTickCount();
  const uint32_t limit = SshGetTimeout(s) * 1000u;
  while (Outstanding(q) && SshIsConnected(s)) {
    Locked lock;
    SftpPacket* reply = SftpReceivePacket(s);
    if (!reply) break;
    const size_t before = Unanswered(q);
    if (download) {
      SftpDownloadReply(q, reply);
      uint8_t* block;
      int32_t length;
      while (SftpDownloadData(q, &block, &length)) CheckedFree(block);
    } else {
      SftpUploadReply(q, reply);
    }
    // A reply that answers none of our requests, or a drain past its time: what the
    // server sends next cannot be told apart any more, so the connection ends.
    if (Unanswered(q) == before || plat::GetTickCount() - start >= limit) {
      SshDisconnect(s, nullptr, 0, 0);
      break;
    }
  }
  SshSetLastError(s, error);
}

void NoteLostConnection(SshSession* s) {
  // A connection ended by our own time-out keeps the time-out as its error.
  if (!SshIsConnected(s) && SshGetLastError(s) != cvErrorOperationTimeout) SshSetLastError(s, cvErrorConnectionClosed);
}

}  // namespace cvssh::sftp
