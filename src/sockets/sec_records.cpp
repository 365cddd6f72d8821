// TLS records of a handle: decrypting what arrives and encrypting what is sent, one
// record at a time, with large requests taken in pieces while no wait is needed.
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "core/trace/trace.h"
#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"
#include "sockets/sec_state.h"

using namespace cvsock;

namespace {

constexpr int32_t kPiece = int32_t(kInetLineBufferSize);

int32_t HandOut(TlsState& t, char* buffer, int32_t size) {
  const size_t n = std::min(t.PlainWaiting(), size_t(size));
  std::memcpy(buffer, t.plain.data() + t.plainPosition, n);
  t.plainPosition += n;
  if (t.plainPosition == t.plain.size()) {
    t.plain.clear();
    t.plainPosition = 0;
  }
  TracePrintf(kTraceInformation, "Decrypted buffer of %ld bytes", long(n));
  TraceDumpData(buffer, int32_t(n));
  return int32_t(n);
}

// Decrypts records from the held bytes until some plain text comes out, the peer closes,
// or more input is needed. 1 plain text ready, 0 need input, -1 error, 2 peer closed.
int DecryptHeld(InetSocketRecord& r, TlsState& t) {
  std::vector<uint8_t> plain(std::max<uint32_t>(t.sizes.maximumMessage, 16384) + 2048);
  while (!t.held.empty()) {
    size_t length = 0, consumed = 0;
    plat::TlsStatus st = t.context->Decrypt(t.held, plain.data(), plain.size(), length, consumed);
    if (st == plat::TlsStatus::IncompleteMessage) return 0;
    if (st == plat::TlsStatus::ContextExpired) {
      t.held.clear();
      t.peerClosed = true;
      return 2;
    }
    if (st == plat::TlsStatus::Renegotiate) {
      t.held.erase(t.held.begin(), t.held.begin() + std::ptrdiff_t(std::min(consumed, t.held.size())));
      if (!RunHandshake(r, false)) return -1;
      continue;
    }
    if (st != plat::TlsStatus::Ok) {
      InetSetLastError(cvErrorSecurityDecryption);
      return -1;
    }
    t.held.erase(t.held.begin(), t.held.begin() + std::ptrdiff_t(std::min(consumed, t.held.size())));
    t.plain.insert(t.plain.end(), plain.begin(), plain.begin() + std::ptrdiff_t(length));
    if (length > 0) return 1;
  }
  return 0;
}

}  // namespace

int32_t SecRead(SOCKET handle, char* buffer, int32_t size) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  TlsState* t = r->tls;
  if (!t || !t->context) return Fail(cvErrorSecurityNotInitialized);
  if (t->PlainWaiting() > 0) return HandOut(*t, buffer, size);
  if (t->peerClosed) return 0;
  std::vector<uint8_t> chunk(kInetTransferBufferSize);
  for (;;) {
    int d = DecryptHeld(*r, *t);
    if (d == 1) return HandOut(*t, buffer, size);
    if (d == 2) return 0;
    if (d < 0) return -1;
    int32_t n = ReceiveSome(*r, chunk.data(), chunk.size(), TimeoutMs(r->timeout.load()));
    if (n == 0) {
      r->closed.store(1);  // closed without close-notify: an end like any other
      return 0;
    }
    if (n < 0) {
      const uint32_t err = cvcore::ErrorNumber(InetGetLastError());
      if (err == plat::WSAECONNRESET || err == plat::WSAECONNABORTED) r->closed.store(1);
      return -1;
    }
    t->held.insert(t->held.end(), chunk.begin(), chunk.begin() + n);
  }
}

int32_t SecWrite(SOCKET handle, const char* buffer, int32_t size) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  TlsState* t = r->tls;
  if (!t || !t->context) return Fail(cvErrorSecurityNotInitialized);
  const size_t n = std::min<size_t>(size_t(size), t->sizes.maximumMessage ? t->sizes.maximumMessage : 16384);
  std::vector<uint8_t> record;
  if (!t->context->Encrypt({reinterpret_cast<const uint8_t*>(buffer), n}, record))
    return Fail(cvErrorSecurityEncryption);
  if (WaitSocket(*r, POLLOUT, TimeoutMs(r->timeout.load()), kInetStateWriting, nullptr) != WaitResult::Ready)
    return -1;
  if (!SendAll(*r, record.data(), record.size())) return -1;
  TracePrintf(kTraceInformation, "Encrypted buffer of %ld bytes", long(record.size()));
  TraceDumpData(record.data(), int32_t(record.size()));
  return int32_t(n);
}

int32_t SecReadLarge(SOCKET handle, char* buffer, int32_t size) {
  int32_t total = 0;
  while (total < size) {
    int32_t n = SecRead(handle, buffer + total, std::min(kPiece, size - total));
    if (n < 0) return total > 0 ? total : -1;
    if (n == 0) break;
    total += n;
    RecordPtr r = FindRecord(handle);
    if (!r || !r->tls) break;
    if (r->tls->held.empty() && r->tls->PlainWaiting() == 0) {
      short revents = 0;
      if (PollNow(handle, POLLIN | POLLPRI, &revents) <= 0) break;
      if ((revents & (POLLERR | POLLPRI)) && !(revents & POLLIN)) {
        int32_t err = PendingError(handle);
        return Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAENETDOWN)));
      }
    }
  }
  return total;
}

int32_t SecWriteLarge(SOCKET handle, const char* buffer, int32_t size) {
  int32_t total = 0;
  while (total < size) {
    int32_t n = SecWrite(handle, buffer + total, std::min(kPiece, size - total));
    if (n < 0) return total > 0 ? total : -1;
    total += n;
    if (total < size) {
      short revents = 0;
      if (PollNow(handle, POLLOUT, &revents) <= 0) break;
      if (revents & POLLERR) {
        int32_t err = PendingError(handle);
        return Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAENETDOWN)));
      }
    }
  }
  return total;
}
