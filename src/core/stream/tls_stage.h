#pragma once
// TLS as a stage on any byte stream: the one record loop, handshake driver and close-notify
// of every library that speaks TLS. The stage owns the connection's context and its
// buffers; all waiting and every error report go through the stream below, so the owner's
// time-outs, cancels and events apply unchanged. Records are read in large receives,
// decrypted straight into the caller's buffer when it has room for whole records, and
// written a full 16 KiB record per send.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/stream/byte_stream.h"
#include "platform/tls/tls_context.h"

class SecCertStore;

namespace cvcore {

class TlsStage final : public ByteStream {
 public:
  // lower: the stream the records travel on (it outlives the stage).
  TlsStage(ByteStream& lower, std::unique_ptr<plat::TlsContext> context) noexcept;
  ~TlsStage();
  TlsStage(const TlsStage&) = delete;
  TlsStage& operator=(const TlsStage&) = delete;

  // Bytes the stream below delivered before the handshake began: they are its first input.
  bool Prime(const void* bytes, uint32_t length) noexcept;
  // Runs the handshake to its end, reading as the stream below becomes readable. A server
  // that asks for a client certificate is answered from store (may be null). False with the
  // error reported: cvErrorSecurityContext for a failed handshake (or a peer that ended
  // it), the lower stream's own errors for waits and sockets.
  bool Handshake(const SecCertStore* store) noexcept;

  int32_t Receive(void* buffer, uint32_t length) noexcept override;
  int32_t Send(const void* data, uint32_t length) noexcept override;
  bool Wait(short events) noexcept override;
  bool Flush() noexcept override;
  bool Buffered() const noexcept override;
  void Fail(uint32_t error) noexcept override { lower_.Fail(error); }

  // Sends the close-notify behind what is still held for sending. wait: for room as Wait
  // does; else one attempt, so that a peer that no longer reads cannot hold a close up.
  // Reading goes on (the peer's own close-notify ends it). False with the error reported.
  bool SendCloseNotify(bool wait) noexcept;
  // Received bytes not yet decrypted (after the peer's close-notify: what followed it).
  std::vector<uint8_t> TakeHeld();
  // Decrypted bytes not yet handed out.
  uint32_t PlainWaiting() const noexcept { return plainEnd_ - plainStart_; }
  // Copies up to length waiting decrypted bytes without any I/O, leaving them waiting; the count.
  uint32_t PeekPlain(void* buffer, uint32_t length) const noexcept;

  plat::TlsContext& context() noexcept { return *context_; }
  const plat::TlsContext& context() const noexcept { return *context_; }
  bool established() const noexcept { return established_; }
  bool closeNotified() const noexcept { return closeNotified_; }  // the peer's close-notify came
  bool ended() const noexcept { return ended_; }                  // no more input will come
  // The last step's status, or the adapter's error after a failure.
  uint32_t lastStatus() const noexcept { return lastStatus_; }

 private:
  enum class Drained { All, WouldBlock, Failed };

  bool Reserve() noexcept;
  int32_t ReceiveCipher() noexcept;  // as Receive of the stream below, into the held bytes
  void Drop(size_t consumed) noexcept;
  bool HeldRecord() const noexcept;
  Drained Drain() noexcept;
  bool SendOutput(const std::vector<uint8_t>& bytes) noexcept;
  bool KeepInterleaved() noexcept;  // application data met during a new handshake
  int32_t HandOut(void* buffer, uint32_t length) noexcept;
  uint32_t TakePlain(void* buffer, uint32_t length) noexcept;

  ByteStream& lower_;
  std::unique_ptr<plat::TlsContext> context_;
  const SecCertStore* store_ = nullptr;  // during a handshake
  bool established_ = false;             // the handshake is done
  bool closing_ = false;                 // our close-notify went: nothing more is sent
  bool closeNotified_ = false;
  bool ended_ = false;
  uint32_t lastStatus_ = 0;
  // Received ciphertext [heldStart_, heldEnd_).
  std::unique_ptr<uint8_t[]> held_;
  uint32_t heldStart_ = 0;
  uint32_t heldEnd_ = 0;
  // Decrypted bytes [plainStart_, plainEnd_) for readers that ask for less than a record,
  // and for the peer's data that came during a new handshake.
  std::vector<uint8_t> plain_;
  uint32_t plainStart_ = 0;
  uint32_t plainEnd_ = 0;
  // Encrypted records taken from Send and not yet sent: [outStart_, outEnd_).
  std::unique_ptr<uint8_t[]> out_;
  uint32_t outCapacity_ = 0;
  uint32_t outStart_ = 0;
  uint32_t outEnd_ = 0;
};

}  // namespace cvcore
