// The TLS stage: handshake driver, record loop and close-notify over the stream below.
#include "core/stream/tls_stage.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "core/trace/trace.h"

namespace cvcore {

namespace {

// Received ciphertext is taken in receives this large: on a busy connection one receive
// brings several records, and a caller with room gets them all decrypted in one call.
constexpr uint32_t kHeldCapacity = 128 * 1024;
constexpr uint32_t kRecordPlain = 16384;  // the most plaintext one record carries
// Plaintext taken by one Send: one full record, encrypted and sent at once (measured on
// uploads over loopback, a send per record took less CPU per byte than four records
// gathered into one send).
constexpr uint32_t kSendBatch = kRecordPlain;
constexpr uint32_t kRecordHeader = 5;
// The most plaintext kept while a new handshake runs: a server sends data under the old
// keys only until it has our answer, so one that goes on past this never answers at all.
constexpr uint32_t kInterleavedLimit = 1024 * 1024;

}  // namespace

TlsStage::TlsStage(ByteStream& lower, std::unique_ptr<plat::TlsContext> context) noexcept
    : lower_(lower), context_(std::move(context)) {}

TlsStage::~TlsStage() {
  // A finished handshake is closed (without sending anything) before the connection goes:
  // one dropped without it would spoil its session for resumption by other connections.
  if (established_ && !closing_) {
    std::vector<uint8_t> unsent;
    context_->Shutdown(unsent);
  }
}

bool TlsStage::Reserve() noexcept {
  if (!held_) held_.reset(new (std::nothrow) uint8_t[kHeldCapacity]);
  if (!held_) Fail(cvErrorOutOfMemory);
  return held_ != nullptr;
}

bool TlsStage::Prime(const void* bytes, uint32_t length) noexcept {
  if (length == 0) return true;
  if (!Reserve()) return false;
  if (kHeldCapacity - heldEnd_ < length) return Fail(cvErrorSecurityContext), false;
  std::memcpy(held_.get() + heldEnd_, bytes, length);
  heldEnd_ += length;
  return true;
}

void TlsStage::Drop(size_t consumed) noexcept {
  heldStart_ += uint32_t(consumed);
  if (heldStart_ == heldEnd_) heldStart_ = heldEnd_ = 0;
}

bool TlsStage::HeldRecord() const noexcept {
  const uint32_t n = heldEnd_ - heldStart_;
  if (n < kRecordHeader) return false;
  const uint8_t* h = held_.get() + heldStart_;
  return n >= kRecordHeader + (uint32_t(h[3]) << 8 | h[4]);
}

int32_t TlsStage::ReceiveCipher() noexcept {
  if (!Reserve()) return -1;
  if (heldStart_ > 0) {
    // What is left is at most a partial record: move it to the front, for a full receive.
    std::memmove(held_.get(), held_.get() + heldStart_, heldEnd_ - heldStart_);
    heldEnd_ -= heldStart_;
    heldStart_ = 0;
  }
  // A full buffer without one whole record is no TLS stream.
  if (heldEnd_ == kHeldCapacity) return Fail(cvErrorSecurityDecryption), -1;
  const int32_t n = lower_.Receive(held_.get() + heldEnd_, kHeldCapacity - heldEnd_);
  if (n > 0) heldEnd_ += uint32_t(n);
  return n;
}

bool TlsStage::SendOutput(const std::vector<uint8_t>& bytes) noexcept {
  return SendAll(lower_, bytes.data(), uint32_t(bytes.size()), StreamOrder::TryFirst);
}

bool TlsStage::Handshake(const SecCertStore* store) noexcept {
  store_ = store;
  if (!Reserve()) return false;
  bool needInput = false;
  std::vector<uint8_t> output;
  for (;;) {
    if (needInput) {
      // The wait comes before every receive: a socket the owner left blocking, or a peer
      // that says nothing, must not hold the handshake past the owner's time-out and cancel.
      if (!lower_.Wait(POLLIN)) return false;
      const int32_t n = ReceiveCipher();
      if (n == kStreamWouldBlock) continue;
      if (n < 0) return false;
      if (n == 0) {
        ended_ = true;
        return Fail(cvErrorSecurityContext), false;  // the peer gave up on the handshake
      }
    }
    output.clear();
    size_t consumed = 0;
    const plat::TlsStatus status = context_->Step({held_.get() + heldStart_, heldEnd_ - heldStart_}, output, consumed);
    lastStatus_ = uint32_t(status);
    Drop(consumed);
    if (!output.empty() && !SendOutput(output)) return false;
    switch (status) {
      case plat::TlsStatus::Ok:
        established_ = true;
        return true;
      case plat::TlsStatus::ContinueNeeded:
      case plat::TlsStatus::IncompleteMessage:
        // Every whole record was used: the peer's next flight comes next.
        needInput = true;
        continue;
      case plat::TlsStatus::ApplicationData:
        if (!KeepInterleaved()) return false;
        needInput = false;
        continue;
      case plat::TlsStatus::IncompleteCredentials:
        // The server asks for a certificate: one from the store whose issuer it accepts,
        // else the handshake goes on without one and the server decides.
        SecSelectClientCertificate(store, *context_);
        needInput = false;
        continue;
      default:
        lastStatus_ = uint32_t(context_->error());
        return Fail(cvErrorSecurityContext), false;
    }
  }
}

bool TlsStage::KeepInterleaved() noexcept {
  // The reader gets it after what it was already waiting for, once the handshake is done.
  if (plainStart_ > 0) {
    std::memmove(plain_.data(), plain_.data() + plainStart_, plainEnd_ - plainStart_);
    plainEnd_ -= plainStart_;
    plainStart_ = 0;
  }
  if (plainEnd_ > kInterleavedLimit) return Fail(cvErrorSecurityContext), false;
  try {
    plain_.resize(plainEnd_ + kRecordPlain);
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory), false;
  }
  size_t got = 0, used = 0;
  const plat::TlsStatus status = context_->DecryptRecords({held_.get() + heldStart_, heldEnd_ - heldStart_},
                                                          plain_.data() + plainEnd_, kRecordPlain, got, used);
  Drop(used);
  // Renegotiate: a record without application data, the handshake goes on.
  if (status != plat::TlsStatus::Ok && status != plat::TlsStatus::Renegotiate) {
    lastStatus_ = uint32_t(context_->error());
    return Fail(cvErrorSecurityContext), false;
  }
  plainEnd_ += uint32_t(got);
  return true;
}

int32_t TlsStage::HandOut(void* buffer, uint32_t length) noexcept {
  const uint32_t n = TakePlain(buffer, length);
  TracePrintf(kTraceInformation, "Decrypted buffer of %ld bytes", long(n));
  TraceDumpData(buffer, int32_t(n));
  return int32_t(n);
}

uint32_t TlsStage::PeekPlain(void* buffer, uint32_t length) const noexcept {
  const uint32_t n = std::min(length, plainEnd_ - plainStart_);
  if (n) std::memcpy(buffer, plain_.data() + plainStart_, n);
  return n;
}

uint32_t TlsStage::TakePlain(void* buffer, uint32_t length) noexcept {
  const uint32_t n = PeekPlain(buffer, length);
  plainStart_ += n;
  if (plainStart_ == plainEnd_) plainStart_ = plainEnd_ = 0;
  return n;
}

int32_t TlsStage::Receive(void* buffer, uint32_t length) noexcept {
  if (length == 0) return 0;
  if (plainEnd_ > plainStart_) return HandOut(buffer, length);
  if (!established_) return Fail(cvErrorSecurityDecryption), -1;
  for (;;) {
    if (ended_) return 0;
    if (heldEnd_ > heldStart_) {
      // Whole records go straight into the caller's buffer while it has room for one.
      const bool direct = length >= kRecordPlain;
      if (!direct && plain_.size() < kRecordPlain) {
        try {
          plain_.resize(kRecordPlain);
        } catch (const std::bad_alloc&) {
          return Fail(cvErrorOutOfMemory), -1;
        }
      }
      uint8_t* to = direct ? static_cast<uint8_t*>(buffer) : plain_.data();
      size_t got = 0, used = 0;
      const plat::TlsStatus status = context_->DecryptRecords({held_.get() + heldStart_, heldEnd_ - heldStart_}, to,
                                                              direct ? length : kRecordPlain, got, used);
      lastStatus_ = uint32_t(status);
      Drop(used);
      switch (status) {
        case plat::TlsStatus::Ok:
          if (got == 0) continue;  // a record without application data
          if (!direct) {
            plainEnd_ = uint32_t(got);
            return HandOut(buffer, length);
          }
          TracePrintf(kTraceInformation, "Decrypted buffer of %ld bytes", long(got));
          TraceDumpData(buffer, int32_t(got));
          return int32_t(got);
        case plat::TlsStatus::IncompleteMessage:
          break;
        case plat::TlsStatus::ContextExpired:
          closeNotified_ = ended_ = true;  // the peer's close-notify: the end of its data
          return 0;
        case plat::TlsStatus::Renegotiate:
          if (!Handshake(store_)) return -1;
          if (plainEnd_ > plainStart_) return HandOut(buffer, length);  // data that came during it
          continue;
        default:
          lastStatus_ = uint32_t(context_->error());
          return Fail(cvErrorSecurityDecryption), -1;
      }
    }
    const int32_t n = ReceiveCipher();
    if (n == 0) ended_ = true;  // closed without close-notify: the end of the stream too
    if (n <= 0) return n;
  }
}

TlsStage::Drained TlsStage::Drain() noexcept {
  while (outStart_ < outEnd_) {
    const int32_t n = lower_.Send(out_.get() + outStart_, outEnd_ - outStart_);
    if (n == kStreamWouldBlock) return Drained::WouldBlock;
    if (n < 0) return Drained::Failed;
    outStart_ += uint32_t(n);
  }
  outStart_ = outEnd_ = 0;
  return Drained::All;
}

int32_t TlsStage::Send(const void* data, uint32_t length) noexcept {
  if (!established_ || closing_) return Fail(cvErrorSecurityEncryption), -1;
  if (length == 0) return 0;
  switch (Drain()) {
    case Drained::WouldBlock:
      return kStreamWouldBlock;
    case Drained::Failed:
      return -1;
    case Drained::All:
      break;
  }
  const uint32_t take = std::min(length, kSendBatch);
  const size_t need = context_->EncryptedSize(take);
  if (need > outCapacity_) {
    out_.reset(new (std::nothrow) uint8_t[need]);
    outCapacity_ = out_ ? uint32_t(need) : 0;
    if (!out_) return Fail(cvErrorOutOfMemory), -1;
  }
  size_t written = 0;
  if (!context_->EncryptRecords({static_cast<const uint8_t*>(data), take}, out_.get(), outCapacity_, written)) {
    lastStatus_ = uint32_t(context_->error());
    return Fail(cvErrorSecurityEncryption), -1;
  }
  outEnd_ = uint32_t(written);
  TracePrintf(kTraceInformation, "Encrypted buffer of %ld bytes", long(take));
  TraceDumpData(data, int32_t(take));
  // The records are taken: what the socket has no room for yet goes with the next call.
  if (Drain() == Drained::Failed) return -1;
  return int32_t(take);
}

bool TlsStage::Flush() noexcept {
  for (;;) {
    switch (Drain()) {
      case Drained::All:
        return true;
      case Drained::Failed:
        return false;
      case Drained::WouldBlock:
        if (!lower_.Wait(POLLOUT)) return false;
        break;
    }
  }
}

bool TlsStage::Buffered() const noexcept { return plainEnd_ > plainStart_ || ended_ || HeldRecord(); }

bool TlsStage::Wait(short events) noexcept {
  if ((events & POLLIN) && Buffered()) return true;
  return lower_.Wait(events);
}

bool TlsStage::SendCloseNotify(bool wait) noexcept {
  if (!established_ || closing_) return true;
  closing_ = true;  // nothing more goes out; reading goes on until the peer's close-notify
  std::vector<uint8_t> notify;
  context_->Shutdown(notify);
  if (wait) return Flush() && SendOutput(notify);
  if (Drain() != Drained::All) return false;
  return notify.empty() || lower_.Send(notify.data(), uint32_t(notify.size())) == int32_t(notify.size());
}

std::vector<uint8_t> TlsStage::TakeHeld() {
  std::vector<uint8_t> bytes(held_.get() + heldStart_, held_.get() + heldEnd_);
  heldStart_ = heldEnd_ = 0;
  return bytes;
}

}  // namespace cvcore
