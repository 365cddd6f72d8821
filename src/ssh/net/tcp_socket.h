#pragma once
// The TCP socket record behind SshSocket: connections, listeners and accepted sockets.
#include <cstdint>

#include "platform/types.h"
#include "ssh/net/ssh_net.h"
#include "ssh/util/buffer_chain.h"

namespace cvssh::net {

inline constexpr int32_t kReceiveBufferSize = 20480;

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
  // Handles one event word; the plug's result, 1 when no handler ran.
  int32_t HandleEvent(uint32_t eventWord);

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
  TcpSocket* companion = nullptr;  // IPv6 companion of an IPv4 listener
  TcpSocket* parent = nullptr;     // back link of a companion

 private:
  ~TcpSocket();
  void TrySend();
  int32_t OnRead();
  int32_t OnClose();
  int32_t OnOob();
  int32_t OnAccept();
  int32_t Dispatch(uint32_t event, uint32_t error);
  bool TryNextCandidate(uint32_t error);

  SshPlug* plug_;
  void* private_ = nullptr;
  BufferChain output_;
  uint8_t urgent_ = 0;
  uint32_t urgentLength_ = 0;
  // Close() from inside a handler defers the release until the dispatch unwinds.
  int32_t dispatching_ = 0;
  bool closed_ = false;
};

// The process-wide registry, ordered by socket handle.
void RegistryAdd(TcpSocket* socket);
void RegistryRemove(TcpSocket* socket);
TcpSocket* RegistryFind(SOCKET handle);

}  // namespace cvssh::net
