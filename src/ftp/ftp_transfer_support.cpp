// What every transfer loop shares: setting the socket events aside, the pacing, progress
// and cancel rule after each block, the statistics of a new transfer, and SIZE.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "ftp/ftp_notify.h"
#include "ftp/ftp_transfer.h"
#include "platform/base/tick.h"
#include "platform/msg/window.h"

namespace cvftp {

namespace {

constexpr uint32_t kProgressIntervalMs = 250;

}  // namespace

SocketEventsAside::SocketEventsAside(FtpSession& s, FtpState state) noexcept
    : s_(s),
      window_(s.notify.socketWindow),
      message_(s.notify.socketMessage),
      networkBits_(s.notify.eventMask.fetch_and(~kNetworkEventMask) & kNetworkEventMask) {
  s.notify.socketWindow = nullptr;
  s.notify.socketMessage = 0;
  SetState(s, state);
}

SocketEventsAside::~SocketEventsAside() { Restore(); }

void SocketEventsAside::Restore() noexcept {
  if (restored_) return;
  restored_ = true;
  s_.notify.socketWindow = window_;
  s_.notify.socketMessage = message_;
  if (s_.notify.notifyWindow) s_.notify.eventMask.fetch_or(networkBits_);
  // A window destroyed meanwhile could not detach this session: let it go now.
  if (window_ && !plat::IsWindow(window_)) static_cast<void>(Notify::AttachTo(s_, nullptr));
  SetState(s_, FtpState::Idle);
}

TransferPacer::TransferPacer(FtpSession& s) noexcept : s_(s), lastProgress_(plat::GetTickCount()) {}

Status TransferPacer::AfterBlock() noexcept {
  turns_.AfterBlock(s_.priority);
  if (s_.priority <= 3) {
    const uint32_t now = plat::GetTickCount();
    if (now - lastProgress_ > kProgressIntervalMs) {
      lastProgress_ = now;
      FireEvent(s_, kEventProgress, 0);
    }
  }
  if (Gone(s_)) return kSessionGone;
  if (s_.cancelRequested.load()) return CanceledError(s_);
  return {};
}

bool TransferPacer::Finish() noexcept {
  FireEvent(s_, kEventProgress, 0);
  return !Gone(s_);
}

void BeginStatistics(FtpSession& s, const char* local, const char* remote, uint64_t offset) noexcept {
  {
    // FtpGetTransferStatus reads the names from other threads under the library lock.
    std::lock_guard lock(Library().lock());
    CopyField(s.localFileName, local ? local : "");
    CopyField(s.remoteFileName, remote ? remote : "");
  }
  s.restartPending.store(offset != 0);
  s.restartOffset.store(offset);
  s.bytesTransferred.store(0);
  s.fileSize.store(0);
  s.transferStart.store(0);
  s.transferEnd.store(0);
}

Result<int32_t> QueryFileSize(FtpSession& s, const char* name, uint64_t* size) noexcept {
  if (!size) return Status(cvErrorInvalidParameter);
  *size = 0;
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  if (s.options & kOptSftp) {
    if (const Status sized = sftp::QueryFileSize(s, name, size); !sized.ok()) return sized;
    return 213;
  }
  if (s.features & kFeatureSize) {
    if (s.autoFileType && s.fileType != kTypeImage)
      if (const Result<int32_t> typed = SendType(s, kTypeImage); !typed.ok()) return typed;
    if (Gone(s)) return kSessionGone;
    const Result<int32_t> r = SendCommand(s, "SIZE", name, cvErrorInvalidFileName);
    if (Gone(s)) return kSessionGone;
    if (r.ok() && r.value() >= 200 && r.value() <= 299) {
      const char* text = s.replyText;
      if (const char* semi = std::strchr(text, ';')) text = semi + 1;
      while (*text == ' ') ++text;
      char* end = nullptr;
      const unsigned long long v = std::strtoull(text, &end, 10);
      if (end == text) return Status(cvErrorInvalidServerResponse);
      *size = v;
      return r;
    }
    if (r.ok()) return Status(cvErrorInvalidServerResponse);
    if (strcasecmp(s.replyText, "SIZE not allowed in ASCII mode") == 0) return Status(cvErrorOperationNotSupported);
    if (s.replyCode == 550) return Status(cvErrorFileNotFound);
    if (s.replyCode < 500 || s.replyCode > 504) return r;
    s.features &= ~kFeatureSize;
  }
  // Without SIZE the size would come from the file's directory entry, which the listing
  // code provides; until then the size is unknown.
  return Status(cvErrorOperationNotSupported);
}

}  // namespace cvftp

int32_t FtpQueryFileSize(LibHandle handle, const char* name, uint64_t* size) {
  cvftp::Operation op(handle);
  if (!op) {
    if (size) *size = 0;
    return -1;
  }
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::QueryFileSize(s, name, size), -1);
}

int32_t FtpQueryFileSize32(LibHandle handle, const char* name, uint32_t* size) {
  if (!size) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 0, -1);
  *size = 0;
  uint64_t full = 0;
  const int32_t r = FtpQueryFileSize(handle, name, &full);
  if (r != -1) *size = (full >> 32) ? 0xFFFFFFFFu : uint32_t(full);
  return r;
}
