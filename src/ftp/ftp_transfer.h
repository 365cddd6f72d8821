#pragma once
// The data connection and the transfer operations on a validated session: what the
// public transfer functions, the notification code and the directory listings share.
#include <cstdint>

#include "core/stream/transfer_pacing.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_session.h"

namespace cvftp {

// Transfer directions (and the modes of FtpOpenFileEx).
inline constexpr uint32_t kDirectionReceive = 0;
inline constexpr uint32_t kDirectionStore = 1;
inline constexpr uint32_t kDirectionAppend = 2;

// Transfer types.
inline constexpr uint32_t kTypeAscii = 1;
inline constexpr uint32_t kTypeEbcdic = 2;
inline constexpr uint32_t kTypeImage = 3;

Status OpenDataConnection(FtpSession& s, uint32_t direction, uint64_t offset) noexcept;
Status AcceptDataConnection(FtpSession& s) noexcept;
Status CheckPassiveAddress(FtpSession& s, const char* text, SockAddress* out) noexcept;
// The failure of a transfer or listing command the engine refused: 522 asks a protected
// data connection to resume the command channel's TLS session, but a clear one can only
// have been refused for being clear, which is what the error then says.
Status NameDataRefusal(FtpSession& s, Status refusal) noexcept;
// Closes the data socket (TLS first when protected).
void CloseDataChannel(FtpSession& s) noexcept;

// What the content test of the automatic type looks at: the local file of an upload, or
// the data of a memory upload.
struct TypeProbe {
  const char* localPath = nullptr;
  const void* data = nullptr;
  size_t length = 0;
  // Set when the content decided the type (no extension did).
  bool byContent = false;
};

// probe: the upload's content for the automatic type, or null (the type by name only).
// The reply code of the transfer command (0 for SFTP).
Result<int32_t> OpenFileEx(FtpSession& s, const char* name, uint32_t mode, uint64_t offset, TypeProbe* probe) noexcept;
// The final reply's code (0 for SFTP).
Result<int32_t> CloseFile(FtpSession& s) noexcept;
// The bytes buffered; the end of the data is a failure (cvErrorEndOfData).
Result<int32_t> FillReceiveBuffer(FtpSession& s) noexcept;
// The bytes read; at the end the failure cvErrorEndOfData.
Result<int32_t> ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept;
Result<int32_t> WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept;
Result<int32_t> FlushSendBuffer(FtpSession& s, bool wait) noexcept;
// What SendFromFile gives when the bytes cannot go straight from the file (a protected
// channel, a file the system cannot send from, bytes buffered): nothing was sent, and the
// caller reads the file and writes the data.
inline constexpr int64_t kSendFromFileUnable = -2;
// Sends up to length bytes of an open local file from offset on the data channel without a
// copy through the process, waiting as WriteData does (counted in the transfer's bytes):
// the bytes sent (0 at the file's end), or kSendFromFileUnable.
Result<int64_t> SendFromFile(FtpSession& s, int file, uint64_t offset, uint32_t length) noexcept;
// True when the data connection ends on this host (a loopback address, or the server's own
// address at this end).
bool DataPeerOnThisHost(const FtpSession& s) noexcept;

// 0, or the reply code of a transfer command that opened no transfer.
Result<int32_t> RetrieveFile(FtpSession& s, const char* local, const char* remote, uint32_t options,
                             uint64_t offset) noexcept;
Result<int32_t> StoreFile(FtpSession& s, const char* local, const char* remote, uint32_t options,
                          uint64_t offset) noexcept;
Status RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept;
Status StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept;

// SIZE of a remote file; the reply code.
Result<int32_t> QueryFileSize(FtpSession& s, const char* name, uint64_t* size) noexcept;
// The transfer type for a file name by its extension, else by the probe's first bytes
// (when given), else the session's default.
Result<int32_t> AutoFileType(FtpSession& s, const char* name, TypeProbe* probe) noexcept;
// Compares a local and a remote file.
Status VerifyFile(FtpSession& s, const char* local, const char* remote, uint32_t method) noexcept;

// A restartable-statistics reset for a new transfer.
void BeginStatistics(FtpSession& s, const char* local, const char* remote, uint64_t offset) noexcept;

// For the length of a transfer operation: the session's socket window, socket message and
// network-event bits of the mask are set aside (the data connection is not routed to the
// window) and restored, with the idle state, on every path out.
class SocketEventsAside {
 public:
  SocketEventsAside(FtpSession& s, FtpState state) noexcept;
  ~SocketEventsAside();
  SocketEventsAside(const SocketEventsAside&) = delete;
  SocketEventsAside& operator=(const SocketEventsAside&) = delete;
  // Restores now (before the final reply is read, as the transfers do).
  void Restore() noexcept;

 private:
  FtpSession& s_;
  HWND window_;
  uint32_t message_;
  uint32_t networkBits_;
  bool restored_ = false;
};

// The message loop's turn, progress event and cancel test after each block of a transfer loop.
class TransferPacer {
 public:
  explicit TransferPacer(FtpSession& s) noexcept;
  // After a block: the failure when the transfer must stop (canceled, or the session
  // freed by an event receiver).
  Status AfterBlock() noexcept;
  // The final progress event of a transfer that ended without error; false when the
  // receiver freed the session.
  bool Finish() noexcept;

 private:
  FtpSession& s_;
  uint32_t lastProgress_;
  cvcore::TransferTurns turns_;
};

// The block of a transfer loop: the session's buffer at the slow priorities, larger above.
inline uint32_t TransferBlock(const FtpSession& s) noexcept {
  return cvcore::TransferBlockSize(s.priority, s.dataBufferSize);
}

}  // namespace cvftp
