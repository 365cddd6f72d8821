#pragma once
// Helpers of the SSH protocol tests: sessions without a network, a socket that keeps
// what is written, plain SSH-2 packet framing, and a pump loop with a deadline.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/sock/sock.h"
#include "platform/base/tick.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/net/ssh_net.h"
#include "ssh/proto/input.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/session.h"
#include "ssh/proto/settings.h"
#include "ssh/util/alloc.h"
#include "ssh/util/buffer_chain.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/mac.h"

namespace sshtest {

// Keeps every write; Close only marks it closed (the test owns it).
class CaptureSocket final : public SshSocket {
 public:
  SshPlug* SetPlug(SshPlug* plug) override { return plug; }
  void Close() override { closed = true; }
  uint32_t Write(const void* data, uint32_t length) override {
    written.append(static_cast<const char*>(data), length);
    return 0;
  }
  uint32_t WriteUrgent(const void*, uint32_t) override { return 0; }
  void Flush() override {}
  void SetPrivate(void*) override {}
  void* GetPrivate() override { return nullptr; }
  void SetFrozen(int32_t value) override { frozen = value; }
  uint32_t Error() override { return 0; }

  std::string written;
  bool closed = false;
  int32_t frozen = 0;
};

// A session with default settings and no connection (free with SshSessionFree).
inline SshSession* NewOfflineSession(SshSocket* socket = nullptr) {
  RandomAcquire();
  auto* s = new SshSession();
  SshSettingsSetDefaults(&s->settings);
  s->dataLimit = 1u << 30;
  BufferChainInit(&s->heldInput);
  s->socket = socket;
  return s;
}

// One unencrypted SSH-2 packet around the payload (message number first).
inline std::string PlainPacket(const std::string& payload) {
  int32_t length = int32_t(payload.size()) + 5;
  int32_t padding = 4 + (8 - (length + 4) % 8) % 8;
  uint32_t packetLength = uint32_t(length + padding - 4);
  std::string out;
  for (int i = 3; i >= 0; --i) out.push_back(char(packetLength >> (8 * i)));
  out.push_back(char(padding));
  out += payload;
  out.append(size_t(padding), '\0');
  return out;
}

inline std::string U32(uint32_t v) {
  std::string out;
  for (int i = 3; i >= 0; --i) out.push_back(char(v >> (8 * i)));
  return out;
}
inline std::string Str(const std::string& s) { return U32(uint32_t(s.size())) + s; }

// Cuts a stream of unencrypted packets into payloads (message number first).
inline std::vector<std::string> PlainPayloads(const std::string& stream) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at + 5 <= stream.size()) {
    uint32_t length = uint32_t(uint8_t(stream[at])) << 24 | uint32_t(uint8_t(stream[at + 1])) << 16 |
                      uint32_t(uint8_t(stream[at + 2])) << 8 | uint8_t(stream[at + 3]);
    uint8_t padding = uint8_t(stream[at + 4]);
    if (at + 4 + length > stream.size() || padding + 1u > length) break;
    out.push_back(stream.substr(at + 5, length - padding - 1));
    at += 4 + length;
  }
  return out;
}

// Pumps until done() or the deadline; false on time-out.
inline bool PumpUntil(SshSession* s, const std::function<bool()>& done, uint32_t seconds = 20) {
  uint32_t start = plat::GetTickCount();
  while (!done()) {
    if (plat::GetTickCount() - start > seconds * 1000) return false;
    if (!SshIsConnected(s)) return done();
    SshPumpEvents(s);
  }
  return true;
}

}  // namespace sshtest
