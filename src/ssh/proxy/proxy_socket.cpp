// The proxy connection record: holds the owner's output and collects the proxy's input
// while the negotiation runs, then passes everything through.
#include "ssh/proxy/proxy_socket.h"

#include <algorithm>

#include "platform/net/wsa_errors.h"
#include "ssh/proxy/proxy.h"

namespace cvssh::proxy {

namespace {

void MoveChain(BufferChain* from, SshSocket* to, bool urgent, uint32_t* buffered) {
  while (BufferChainSize(from)) {
    const void* data;
    uint32_t length;
    BufferChainPrefix(from, &data, &length);
    *buffered = urgent ? to->WriteUrgent(data, length) : to->Write(data, length);
    BufferChainConsume(from, length);
  }
}

}  // namespace

ProxySocket::ProxySocket(SshPlug* owner, const SshSettings& s, SshAddress* dest, int32_t destPort,
                         ProxyNegotiate negotiate)
    : destination(dest), port(destPort), settings(s), owner_(owner), negotiate_(negotiate) {
  BufferChainInit(&held_);
  BufferChainInit(&heldUrgent_);
  BufferChainInit(&input_);
}

ProxySocket::~ProxySocket() {
  BufferChainClear(&held_);
  BufferChainClear(&heldUrgent_);
  BufferChainClear(&input_);
  SshFreeAddress(destination);
}

template <class F>
int32_t ProxySocket::Guarded(F&& body) {
  ++depth_;
  int32_t result = body();
  --depth_;
  if (closed_) {
    if (depth_ == 0) delete this;
    return 0;
  }
  return result;
}

void ProxySocket::Open(int32_t keepAlive) {
  if (!negotiate_) {
    error_ = plat::WSAEINVAL;
    return;
  }
  SshAddress* proxy = SshLookupName(settings.ProxyHost, nullptr, int32_t(settings.AddressFamily));
  if (!proxy || SshAddressError(proxy)) {
    SshFreeAddress(proxy);
    error_ = plat::WSAHOST_NOT_FOUND;
    return;
  }
  inner = SshNewConnection(proxy, int32_t(settings.ProxyPort), keepAlive, this);
  if (inner->Error()) return;
  inner->SetFrozen(0);
  // A refusal found before the owner has the connection (an address the proxy type
  // cannot carry) is a creation error, not a closing event.
  starting_ = true;
  ++depth_;
  negotiate_(this, kChangeStart);
  --depth_;
  starting_ = false;
}

SshPlug* ProxySocket::SetPlug(SshPlug* plug) {
  SshPlug* old = owner_;
  if (plug) owner_ = plug;
  return old;
}

void ProxySocket::Close() {
  if (closed_) return;
  closed_ = true;
  if (inner) inner->Close();
  inner = nullptr;
  if (depth_ == 0) delete this;
}

uint32_t ProxySocket::Write(const void* data, uint32_t length) {
  if (closed_) return 0;
  if (state == ProxyState::Tunnel) return inner->Write(data, length);
  BufferChainAdd(&held_, data, length);
  return BufferChainSize(&held_) + BufferChainSize(&heldUrgent_);
}

uint32_t ProxySocket::WriteUrgent(const void* data, uint32_t length) {
  if (closed_) return 0;
  if (state == ProxyState::Tunnel) return inner->WriteUrgent(data, length);
  BufferChainClear(&held_);
  BufferChainClear(&heldUrgent_);
  BufferChainAdd(&heldUrgent_, data, length);
  return length;
}

void ProxySocket::Flush() {
  if (state == ProxyState::Tunnel && inner) inner->Flush();
  else
    flushPending_ = 1;
}

void ProxySocket::SetPrivate(void* value) {
  private_ = value;
  if (inner) inner->SetPrivate(value);
}

void* ProxySocket::GetPrivate() { return inner ? inner->GetPrivate() : private_; }

void ProxySocket::SetFrozen(int32_t frozen) {
  frozen_ = frozen ? 1 : 0;
  if (state != ProxyState::Tunnel || !inner) return;
  Guarded([&] {
    if (!frozen_) DeliverHeldInput();
    if (!closed_) inner->SetFrozen(int32_t(frozen_));
    return 1;
  });
}

int32_t ProxySocket::DeliverHeldInput() {
  uint8_t piece[512];
  while (BufferChainSize(&input_) && !frozen_ && !closed_) {
    uint32_t n = std::min<uint32_t>(sizeof piece, BufferChainSize(&input_));
    BufferChainFetch(&input_, piece, n);
    BufferChainConsume(&input_, n);
    if (owner_->Receive(0, piece, int32_t(n)) == 0) return 0;
  }
  return 1;
}

void ProxySocket::Send(const void* data, uint32_t length) {
  if (inner) inner->Write(data, length);
}

std::vector<uint8_t> ProxySocket::Input(uint32_t limit) const {
  std::vector<uint8_t> out(std::min(limit, BufferChainSize(&input_)));
  BufferChainFetch(&input_, out.data(), uint32_t(out.size()));
  return out;
}

int32_t ProxySocket::Activate() {
  state = ProxyState::Tunnel;
  inner->SetFrozen(1);
  uint32_t heldTotal = BufferChainSize(&held_) + BufferChainSize(&heldUrgent_);
  uint32_t buffered = 0;
  MoveChain(&heldUrgent_, inner, true, &buffered);
  MoveChain(&held_, inner, false, &buffered);
  if (heldTotal && buffered < heldTotal) owner_->Sent(buffered);
  if (closed_) return 0;
  if (flushPending_) inner->Flush();
  flushPending_ = 0;
  if (!frozen_) {
    if (DeliverHeldInput() == 0 || closed_) return 0;
    inner->SetFrozen(int32_t(frozen_));
  }
  return 1;
}

int32_t ProxySocket::Fail(uint32_t code) {
  if (starting_) {
    error_ = code;
    return 0;
  }
  return owner_->Closing(code, 0);
}

int32_t ProxySocket::PassOn(int32_t change) {
  if (change == kChangeClosing) return owner_->Closing(closingCode_, closingFlag_);
  if (change == kChangeAccepting) {
    SOCKET s = accepted_;
    accepted_ = INVALID_SOCKET;
    return owner_->Accepting(s);
  }
  return 1;
}

void ProxySocket::DestinationText(char* buffer, int32_t size) const { SshAddressToText(destination, buffer, size); }

void ProxySocket::Log(int32_t kind, const SshAddress* address, int32_t logPort, const char* text, int32_t code) {
  owner_->Log(kind, address, logPort, text, code);
}

int32_t ProxySocket::Closing(uint32_t error, int32_t callingBack) {
  return Guarded([&] {
    if (state == ProxyState::Tunnel) return owner_->Closing(error, callingBack);
    closingCode_ = error;
    closingFlag_ = callingBack;
    return negotiate_(this, kChangeClosing);
  });
}

int32_t ProxySocket::Receive(int32_t urgent, const uint8_t* data, int32_t length) {
  return Guarded([&] {
    if (state == ProxyState::Tunnel) return owner_->Receive(urgent, data, length);
    BufferChainAdd(&input_, data, uint32_t(length));
    return negotiate_(this, kChangeReceive);
  });
}

void ProxySocket::Sent(uint32_t backlog) {
  Guarded([&] {
    if (state == ProxyState::Tunnel) owner_->Sent(backlog);
    else negotiate_(this, kChangeSent);
    return 1;
  });
}

int32_t ProxySocket::Accepting(SOCKET socket) {
  return Guarded([&] {
    if (state == ProxyState::Tunnel) return owner_->Accepting(socket);
    accepted_ = socket;
    return negotiate_(this, kChangeAccepting);
  });
}

}  // namespace cvssh::proxy
