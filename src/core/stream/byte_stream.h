#pragma once
// A byte stream: what protocol code reads from and writes to, whatever carries the bytes.
// A plain socket is one (SocketStream); TLS is a stage stacked on any other (TlsStage).
// The owner decides what waiting means (its timeout, its cancel, its events) and where an
// error goes (its last error): the stream only moves bytes and reports through Fail.
#include <cstdint>

#include "platform/types.h"

namespace cvcore {

// What an attempt gives when there is nothing to read (or no room to write) right now.
inline constexpr int32_t kStreamWouldBlock = -2;
// What SendFile gives when the bytes cannot go straight from the file: a stage that
// transforms them, or a file the system cannot send from. The caller reads and Sends.
inline constexpr int32_t kStreamNoFileSend = -3;

class ByteStream {
 public:
  // One attempt without waiting: the bytes received (1..length), 0 at the peer's orderly
  // end, kStreamWouldBlock when nothing is there yet, -1 with the error reported.
  virtual int32_t Receive(void* buffer, uint32_t length) noexcept = 0;
  // One attempt without waiting: the bytes taken (1..length), kStreamWouldBlock when there
  // is no room, -1 with the error reported. A stage may hold taken bytes until Flush.
  virtual int32_t Send(const void* data, uint32_t length) noexcept = 0;
  // One attempt without waiting to send up to length bytes of an open file from offset,
  // without a copy through the process: the bytes taken, 0 at the file's end,
  // kStreamWouldBlock, kStreamNoFileSend (nothing was sent), -1 with the error reported.
  virtual int32_t SendFile(int file, uint64_t offset, uint32_t length) noexcept {
    (void)file, (void)offset, (void)length;
    return kStreamNoFileSend;
  }
  // Waits until Receive (POLLIN) or Send (POLLOUT) can make progress, under the owner's
  // time-out and cancel rules; false with the error reported (and the owner's events fired).
  virtual bool Wait(short events) noexcept = 0;
  // Sends what a stage holds of the bytes it took, waiting as Wait does; false with the error.
  virtual bool Flush() noexcept { return true; }
  // True when a Receive can hand out bytes without any I/O.
  virtual bool Buffered() const noexcept { return false; }
  // Reports an error the way the owner does (its last error).
  virtual void Fail(uint32_t error) noexcept = 0;

 protected:
  ByteStream() = default;
  ~ByteStream() = default;
  ByteStream(const ByteStream&) = default;
  ByteStream& operator=(const ByteStream&) = default;
};

// How a blocking call orders its wait and its attempt.
enum class StreamOrder {
  TryFirst,   // attempt, and wait only when the attempt would block
  WaitFirst,  // wait (at once over when bytes are buffered), then attempt
};

// Bytes (1..length), 0 at the peer's end, -1 with the error reported.
int32_t ReceiveSome(ByteStream& stream, void* buffer, uint32_t length, StreamOrder order) noexcept;
// All of data, waiting for room as needed, then flushed; false with the error reported.
bool SendAll(ByteStream& stream, const void* data, uint32_t length, StreamOrder order) noexcept;

// A plain TCP socket, named by the owner's field that holds it (the owner opens, closes
// and replaces the socket; the stream always uses the current one). Sockets stay
// non-blocking: Wait, the owner's, is where time passes.
class SocketStream : public ByteStream {
 public:
  explicit SocketStream(const SOCKET& socket) noexcept : socket_(socket) {}
  SOCKET socket() const noexcept { return socket_; }

  int32_t Receive(void* buffer, uint32_t length) noexcept override;
  int32_t Send(const void* data, uint32_t length) noexcept override;
  int32_t SendFile(int file, uint64_t offset, uint32_t length) noexcept override;

 protected:
  // A failed socket call: the thread's socket error becomes the owner's error.
  virtual void FailSocket(bool receiving) noexcept;

 private:
  const SOCKET& socket_;
};

}  // namespace cvcore
