// TLS records of a handle through its stage: decrypting what arrives and encrypting what
// is sent, with large requests taken in pieces while no wait is needed.
#include <poll.h>

#include <algorithm>

#include "platform/net/wsa_errors.h"
#include "sockets/sec_state.h"

using namespace cvsock;

namespace {

// Plaintext one write takes: four full records, encrypted and sent together.
constexpr int32_t kWriteBatch = 4 * 16384;

// The stage of a handle the caller may use; null with the error.
cvcore::TlsStage* StageOf(const RecordPtr& r) {
  if (!r) return nullptr;
  if (!r->tls || !r->tls->stage) return Fail<cvcore::TlsStage*>(cvErrorSecurityNotInitialized, nullptr);
  return r->tls->stage.get();
}

// The socket's error when a zero-time poll finds it in the exception state.
bool PollFailed(SOCKET handle, short revents) {
  if (!(revents & (POLLERR | POLLPRI))) return false;
  const int32_t err = PendingError(handle);
  Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAENETDOWN)));
  return true;
}

}  // namespace

int32_t SecRead(SOCKET handle, char* buffer, int32_t size) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  cvcore::TlsStage* stage = StageOf(r);
  if (!stage) return -1;
  return cvcore::ReceiveSome(*stage, buffer, uint32_t(size), cvcore::StreamOrder::TryFirst);
}

int32_t SecWrite(SOCKET handle, const char* buffer, int32_t size) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  cvcore::TlsStage* stage = StageOf(r);
  if (!stage) return -1;
  const uint32_t n = uint32_t(std::min(size, kWriteBatch));
  return cvcore::SendAll(*stage, buffer, n, cvcore::StreamOrder::TryFirst) ? int32_t(n) : -1;
}

int32_t SecReadLarge(SOCKET handle, char* buffer, int32_t size) {
  int32_t total = 0;
  while (total < size) {
    int32_t n = SecRead(handle, buffer + total, size - total);
    if (n < 0) return total > 0 ? total : -1;
    if (n == 0) break;
    total += n;
    RecordPtr r = FindRecord(handle);
    if (!r || !r->tls || !r->tls->stage) break;
    if (!r->tls->stage->Buffered()) {
      short revents = 0;
      if (PollNow(handle, POLLIN | POLLPRI, &revents) <= 0) break;
      if (!(revents & POLLIN) && PollFailed(handle, revents)) return -1;
    }
  }
  return total;
}

int32_t SecWriteLarge(SOCKET handle, const char* buffer, int32_t size) {
  int32_t total = 0;
  while (total < size) {
    int32_t n = SecWrite(handle, buffer + total, size - total);
    if (n < 0) return total > 0 ? total : -1;
    total += n;
    if (total < size) {
      short revents = 0;
      if (PollNow(handle, POLLOUT, &revents) <= 0) break;
      if (PollFailed(handle, revents & short(~POLLPRI))) return -1;
    }
  }
  return total;
}
