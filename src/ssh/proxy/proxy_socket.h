#pragma once
// The proxy connection record: an SshSocket towards its owner and the plug of the
// connection to the proxy. Until the negotiation of the proxy type has agreed (state
// Tunnel) the owner's output is held and the proxy's input is collected for the
// negotiation.
#include <cstdint>
#include <vector>

#include "ssh/net/ssh_net.h"
#include "ssh/proto/settings.h"
#include "ssh/util/buffer_chain.h"

namespace cvssh::proxy {

// Events handed to a negotiation.
enum ProxyChange : int32_t {
  kChangeStart = -1,
  kChangeClosing = 0,
  kChangeSent = 1,
  kChangeReceive = 2,
  kChangeAccepting = 3,
};

// Where a negotiation is; each proxy type uses the steps of its own exchange.
enum class ProxyState : int32_t {
  Opening,        // the negotiation has not started
  Tunnel,         // agreed: everything passes through
  AwaitingReply,  // SOCKS 4 and telnet-style: the request or command was sent
  StatusLine,     // HTTP CONNECT: the request was sent
  HeaderLines,    // HTTP CONNECT: the status agreed, headers up to the empty line
  MethodReply,    // SOCKS 5: the methods offered
  PasswordReply,  // SOCKS 5: user name and password sent
  ChapMessages,   // SOCKS 5: CHAP exchange
  ConnectReply,   // SOCKS 5: the connect request sent
};

class ProxySocket;
// Advances the negotiation for one event; the result goes back to the socket layer as
// the plug's answer (0 or negative when the connection was ended).
using ProxyNegotiate = int32_t (*)(ProxySocket* p, int32_t change);

class ProxySocket final : public SshSocket, private SshPlug {
 public:
  ProxySocket(SshPlug* owner, const SshSettings& settings, SshAddress* destination, int32_t port,
              ProxyNegotiate negotiate);

  // ---- SshSocket ----
  SshPlug* SetPlug(SshPlug* plug) override;
  void Close() override;
  uint32_t Write(const void* data, uint32_t length) override;
  uint32_t WriteUrgent(const void* data, uint32_t length) override;
  void Flush() override;
  void SetPrivate(void* value) override;
  void* GetPrivate() override;
  void SetFrozen(int32_t frozen) override;
  uint32_t Error() override { return error_ ? error_ : (inner ? inner->Error() : 0); }

  // Resolves and connects to the proxy and starts the negotiation.
  void Open(int32_t keepAlive);

  // ---- for the negotiations ----
  // Writes straight to the proxy connection.
  void Send(const void* data, uint32_t length);
  // The collected proxy input, copied out (not consumed).
  std::vector<uint8_t> Input(uint32_t limit = UINT32_MAX) const;
  uint32_t InputSize() const { return BufferChainSize(&input_); }
  void Consume(uint32_t length) { BufferChainConsume(&input_, length); }
  // The proxy agreed: flush what was held and pass everything through from now on.
  // Returns the plug answer for the current event.
  int32_t Activate();
  // Ends the connection towards the owner with a closing code.
  int32_t Fail(uint32_t code);
  // Passes a closing or accepting event on to the owner (their stored arguments).
  int32_t PassOn(int32_t change);
  // The destination as text (numeric when resolved, else the name).
  void DestinationText(char* buffer, int32_t size) const;

  SshSocket* inner = nullptr;
  SshAddress* destination;
  int32_t port;
  SshSettings settings;
  ProxyState state = ProxyState::Opening;
  // SOCKS 5 CHAP progress.
  int32_t chapExpected = 0;
  int32_t chapRead = 0;
  int32_t chapType = -1;
  int32_t chapLength = 0;

 private:
  ~ProxySocket();
  // ---- plug of the proxy connection ----
  void Log(int32_t kind, const SshAddress* address, int32_t port, const char* text, int32_t code) override;
  int32_t Closing(uint32_t error, int32_t callingBack) override;
  int32_t Receive(int32_t urgent, const uint8_t* data, int32_t length) override;
  void Sent(uint32_t backlog) override;
  int32_t Accepting(SOCKET socket) override;

  // Runs a plug event under the deferred-release guard.
  template <class F>
  int32_t Guarded(F&& body);
  int32_t DeliverHeldInput();

  SshPlug* owner_;
  uint32_t error_ = 0;
  BufferChain held_{};
  BufferChain heldUrgent_{};
  uint32_t flushPending_ = 0;
  BufferChain input_{};
  uint32_t frozen_ = 0;
  ProxyNegotiate negotiate_;
  // Arguments of the last event from the proxy connection.
  uint32_t closingCode_ = 0;
  int32_t closingFlag_ = 0;
  SOCKET accepted_ = INVALID_SOCKET;
  void* private_ = nullptr;
  int32_t depth_ = 0;
  bool closed_ = false;
  bool starting_ = false;
};

int32_t NegotiateSocks4(ProxySocket* p, int32_t change);
int32_t NegotiateSocks5(ProxySocket* p, int32_t change);
int32_t NegotiateHttp(ProxySocket* p, int32_t change);
int32_t NegotiateTelnet(ProxySocket* p, int32_t change);

}  // namespace cvssh::proxy
