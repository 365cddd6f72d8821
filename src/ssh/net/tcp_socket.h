#pragma once
// The TCP socket record behind SshSocket: connections, listeners and accepted sockets.
// Each belongs to the session (or, outside any session, the thread) that made it, and
// only that session's pump watches it.
#include <poll.h>

#include <cstdint>
#include <vector>

#include "platform/types.h"
#include "ssh/net/owner.h"
#include "ssh/net/ssh_net.h"
#include "ssh/util/byte_queue.h"

namespace cvssh::net {

class TcpSocket final : public SshSocket {
 public:
  explicit TcpSocket(SshPlug* plug);

  SshPlug* SetPlug(SshPlug* plug) override;
  void Close() override;
  uint32_t Write(const void* data, uint32_t length) override;
  uint32_t WriteUrgent(const void* data, uint32_t length) override;
  void Flush() override {}
  void SetPrivate(void* value) override { private_ = value; }
  void* GetPrivate() override { return private_; }
  void SetFrozen(int32_t frozen) override;
  uint32_t Error() override { return error_; }

  // One connect attempt to the current candidate; 0 or the error (also stored).
  uint32_t Connect();
  // Handles one event word ((error << 16) | FD_ bit); the plug's result, 1 when no
  // handler ran.
  int32_t HandleEvent(uint32_t eventWord);
  // What the pump is to wait for now (poll events); 0: nothing, leave it out.
  short Interest() const;
  // Handles what poll() reported; negative when a handler failed.
  int32_t OnReady(short revents);

  SOCKET handle = INVALID_SOCKET;
  SshAddress* address = nullptr;  // owned while connecting
  int32_t port = 0;
  uint32_t error_ = 0;
  uint32_t writable = 0;
  uint32_t frozen = 0;
  uint32_t frozenReadable = 0;
  uint32_t localOnly = 0;
  uint32_t oobInline = 0;
  uint32_t noDelay = 0;
  uint32_t keepAlive = 0;
  uint32_t listening = 0;
  uint32_t connecting = 0;         // a non-blocking connect is under way
  TcpSocket* companion = nullptr;  // IPv6 companion of an IPv4 listener
  TcpSocket* parent = nullptr;     // back link of a companion
  NetOwner owner;

 private:
  ~TcpSocket();
  void TrySend();
  int32_t OnConnected(uint32_t error);
  int32_t OnRead(bool urgentPending);
  int32_t OnOob();
  int32_t OnWritable();
  int32_t OnAccept();
  int32_t Dispatch(uint32_t event, uint32_t error);
  int32_t ReportClosing(uint32_t error);
  bool TryNextCandidate();

  SshPlug* plug_;
  void* private_ = nullptr;
  ByteQueue output_;
  uint8_t urgent_ = 0;
  uint32_t urgentLength_ = 0;
  uint32_t closeReported_ = 0;  // the end of the stream was told: nothing more to read
  uint32_t sendFailed_ = 0;     // the connection refused data: nothing more to send
  // Close() from inside a handler defers the release until the dispatch unwinds.
  int32_t dispatching_ = 0;
  bool closed_ = false;
};

// The process-wide registry, ordered by socket handle.
void RegistryAdd(TcpSocket* socket);
void RegistryRemove(TcpSocket* socket);
TcpSocket* RegistryFind(SOCKET handle);
// The sockets the pump of `session` serves on this thread that want watching, as poll
// entries.
void RegistryCollect(const void* session, std::vector<pollfd>& out);

}  // namespace cvssh::net
