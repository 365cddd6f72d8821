#pragma once
// What the SFTP file transfers share: the checks every whole-file transfer starts with,
// the event record and its events, and draining the replies still outstanding.
#include <cstdint>

#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"

namespace cvssh::sftp {

// The event record of one transfer (its texts owned) and the progress pacing.
class TransferEvents {
 public:
  TransferEvents(SshSession* session, uint32_t flags, const char* local, const char* remote, uint64_t size,
                 uint32_t direction);
  ~TransferEvents();
  TransferEvents(const TransferEvents&) = delete;
  TransferEvents& operator=(const TransferEvents&) = delete;

  SftpEventInfo& info() { return info_; }
  // Event 4 then the first progress event.
  void Started();
  // Counts the bytes and fires progress when more than 250 ms have passed.
  void Moved(uint64_t bytes);
  void Canceled();
  // The last progress event and event 8 with the end tick (once started).
  void Ended();

 private:
  SshSession* session_;
  SftpEventInfo info_{};
  uint32_t lastProgress_ = 0;
  bool started_ = false;
  bool canceled_ = false;
};

// The checks in front of a whole-file transfer (null session, names, append with an
// offset, an open step-by-step transfer); false with the error stored.
bool CheckTransfer(SshSession* session, const char* local, bool needLocal, const char* remote, int32_t append,
                   uint64_t offset);
// True while a request of the queue is unanswered.
bool Outstanding(const SftpTransferQueue* queue);
// Receives and drops the replies still outstanding (blocks discarded), within one
// timeout; a reply that answers none of them, or running out of time, ends the connection.
void Drain(SftpTransferQueue* queue, bool download);
// The error of a transfer that stopped on a failed exchange: cvErrorConnectionClosed once
// the session has lost its connection (a time-out stays the error).
void NoteLostConnection(SshSession* session);

}  // namespace cvssh::sftp
