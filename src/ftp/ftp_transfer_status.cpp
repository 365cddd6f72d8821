// Transfer statistics (readable from any thread) and the session's transfer state.
#include <cstring>

#include "ftp/ftp_internal.h"
#include "platform/base/tick.h"

namespace cvftp {

namespace {

constexpr uint32_t kUnknownRemainingMs = 10000;

void Compute(const FtpSession& s, FtpTransferStatus* out) noexcept {
  std::memset(out, 0, sizeof *out);
  CopyField(out->localFile, s.localFileName);
  CopyField(out->remoteFile, s.remoteFileName);
  const uint64_t copied = s.restartOffset.load(std::memory_order_relaxed) + s.bytesTransferred.load(std::memory_order_relaxed);
  uint64_t size = s.fileSize.load(std::memory_order_relaxed);
  if (copied > size) size = copied;
  out->fileSize = size;
  out->bytesCopied = copied;
  const uint32_t start = s.transferStart.load();
  if (start == 0) return;
  const uint32_t end = s.transferEnd.load();
  const uint32_t elapsed = (end ? end : plat::GetTickCount()) - start;
  uint64_t rate = 0;
  uint64_t remaining = kUnknownRemainingMs;
  if (elapsed > 1000) {
    rate = copied / (elapsed / 1000);
    if (rate != 0 && copied != 0) remaining = (size - copied) * 1000 / rate;
  }
  if (end) remaining = elapsed;
  if (rate == 0) rate = uint32_t(copied);
  const uint32_t scale = (s.options & kOptStatusMilliseconds) ? 1 : 1000;
  out->bytesPerSecond = uint32_t(std::min<uint64_t>(rate, 0xFFFFFFFFu));
  out->elapsed = elapsed / scale;
  out->remaining = uint32_t(std::min<uint64_t>(remaining / scale, 0xFFFFFFFFu));
}

}  // namespace

}  // namespace cvftp

int32_t FtpGetTransferStatus(LibHandle handle, FtpTransferStatus* status) {
  if (!status) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 0, -1);
  // Any thread may ask: the record is kept from release by the library lock meanwhile.
  std::lock_guard lk(cvftp::Library().lock());
  const FtpSession* s = FtpFindSession(handle);
  if (!s) return -1;
  cvftp::Compute(*s, status);
  return 0;
}

int32_t FtpGetTransferStatus32(LibHandle handle, FtpTransferStatus32* status) {
  FtpTransferStatus full;
  if (FtpGetTransferStatus(handle, &full) == -1) return -1;
  if (status) {
    std::memset(status, 0, sizeof *status);
    status->fileSize = (full.fileSize >> 32) ? 0xFFFFFFFFu : uint32_t(full.fileSize);
    status->bytesCopied = (full.bytesCopied >> 32) ? 0xFFFFFFFFu : uint32_t(full.bytesCopied);
    status->bytesPerSecond = full.bytesPerSecond;
    status->elapsed = full.elapsed;
    status->remaining = full.remaining;
    std::memcpy(status->localFile, full.localFile, sizeof status->localFile);
    std::memcpy(status->remoteFile, full.remoteFile, sizeof status->remoteFile);
  }
  return 0;
}

int32_t FtpSetTransferState(LibHandle handle, uint32_t state) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return int32_t(cvftp::SetState(*op.session(), FtpState(state)));
}
