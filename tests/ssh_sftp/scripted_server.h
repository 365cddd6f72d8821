#pragma once
// A session without a network for SFTP tests: what the client sends is kept, and the
// "server's" replies are placed in the channel input before the client reads them, so
// any byte sequence (malformed, out of order, cut short) can be played.
#include <cstring>
#include <functional>
#include <string>

#include "ssh/crypto/random_pool.h"
#include "ssh/net/ssh_net.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/settings.h"
#include "ssh/sftp/sftp_channel.h"

namespace sftptest {

class NullSocket final : public SshSocket {
 public:
  SshPlug* SetPlug(SshPlug* plug) override { return plug; }
  void Close() override {}
  uint32_t Write(const void*, uint32_t) override { return 0; }
  uint32_t WriteUrgent(const void*, uint32_t) override { return 0; }
  void Flush() override {}
  void SetPrivate(void*) override {}
  void* GetPrivate() override { return nullptr; }
  void SetFrozen(int32_t) override {}
  uint32_t Error() override { return 0; }
};

inline std::string g_sent;  // bytes the client sent on the channel

// One request as the client sent it: its type, identifier and the fields behind them.
struct Request {
  uint8_t type;
  uint32_t id;
  std::string fields;
};
// Answers each request as it is sent (the bytes returned arrive on the channel at once);
// none: the bytes are only kept.
inline std::function<std::string(const Request&)> g_responder;
inline size_t g_answered = 0;  // the bytes of g_sent already handed to the responder

inline uint32_t ReadU32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
         uint8_t(b[at + 3]);
}

inline void KeepSent(SshSession* s, const uint8_t* text, int32_t length, SshPacket*) {
  if (!text) return;
  g_sent.append(reinterpret_cast<const char*>(text), size_t(length));
  while (g_responder && g_answered + 4 <= g_sent.size()) {
    const uint32_t n = ReadU32(g_sent, g_answered);
    if (g_answered + 4 + n > g_sent.size()) break;
    const std::string body = g_sent.substr(g_answered + 4, n);
    g_answered += 4 + n;
    // INIT carries a version where the others carry an identifier.
    const Request r{uint8_t(body[0]), body.size() >= 5 ? ReadU32(body, 1) : 0, body.size() > 5 ? body.substr(5) : ""};
    const std::string reply = g_responder(r);
    if (!reply.empty())
      SftpChannelDeliver(s, 0, reinterpret_cast<const uint8_t*>(reply.data()), uint32_t(reply.size()));
  }
}

inline std::string U32(uint32_t v) {
  std::string out;
  for (int i = 3; i >= 0; --i) out.push_back(char(v >> (8 * i)));
  return out;
}
inline std::string U64(uint64_t v) { return U32(uint32_t(v >> 32)) + U32(uint32_t(v)); }
inline std::string Str(const std::string& s) { return U32(uint32_t(s.size())) + s; }
// One SFTP packet: length, type, body.
inline std::string Packet(uint8_t type, const std::string& body) {
  return U32(uint32_t(body.size() + 1)) + char(type) + body;
}

struct ScriptedSession {
  ScriptedSession() {
    g_sent.clear();
    g_responder = nullptr;
    g_answered = 0;
    RandomAcquire();
    s = new SshSession();
    SshSettingsSetDefaults(&s->settings);
    s->socket = &socket;
    s->protocol = KeepSent;
    s->timeout = 1;  // a reply that never comes ends the wait quickly
  }
  ~ScriptedSession() {
    g_responder = nullptr;
    SshSessionFree(s);
  }
  ScriptedSession(const ScriptedSession&) = delete;
  ScriptedSession& operator=(const ScriptedSession&) = delete;
  // The server's bytes, as they would arrive on the channel.
  void Reply(const std::string& bytes) {
    SftpChannelDeliver(s, 0, reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
  }

  NullSocket socket;
  SshSession* s;
};

}  // namespace sftptest
