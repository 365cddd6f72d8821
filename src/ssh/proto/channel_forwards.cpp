// Port forwarding set-up from the settings' list: the configured forwardings persist
// between calls, so a second call starts only added entries and removes dropped ones.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ssh/proto/channel.h"
#include "ssh/proto/channel_internal.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/forward_hooks.h"
#include "ssh/proto/packet.h"
#include "ssh/util/alloc.h"
#include "ssh/util/tree234.h"

struct SshForwardSpec {
  uint32_t status;  // 0 to remove, 1 keep, 2 new
  char type;        // 'L', 'R' or 'D'
  std::string sourceAddress;
  bool hasSourceAddress;
  uint32_t sourcePort;
  std::string sourcePortName;
  std::string destinationHost;
  bool hasDestinationHost;
  uint32_t destinationPort;  // all bits for dynamic forwardings
  std::string destinationPortName;
  uint32_t family;  // 0 any, 1 IPv4, 2 IPv6
  SshRemoteForward* remote;
  SshSocket* listener;
};

namespace {

constexpr size_t kFieldLimit = 255;

template <typename T>
int Order(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

// Absent texts sort first.
int OrderOptional(bool hasA, const std::string& a, bool hasB, const std::string& b) {
  if (hasA != hasB) return hasA ? 1 : -1;
  return hasA ? Order(a, b) : 0;
}

int CompareSpecs(void* av, void* bv) {
  auto* a = static_cast<SshForwardSpec*>(av);
  auto* b = static_cast<SshForwardSpec*>(bv);
  if (int c = Order(a->type, b->type)) return c;
  if (int c = Order(a->family, b->family)) return c;
  if (int c = OrderOptional(a->hasSourceAddress, a->sourceAddress, b->hasSourceAddress, b->sourceAddress)) return c;
  if (int c = Order(a->sourcePort, b->sourcePort)) return c;
  if (a->type == 'D') return 0;
  if (int c = OrderOptional(a->hasDestinationHost, a->destinationHost, b->hasDestinationHost, b->destinationHost))
    return c;
  return Order(a->destinationPort, b->destinationPort);
}

int CompareRemote2(void* a, void* b) {
  return Order(static_cast<SshRemoteForward*>(a)->sourcePort, static_cast<SshRemoteForward*>(b)->sourcePort);
}

int CompareRemote1(void* av, void* bv) {
  auto* a = static_cast<SshRemoteForward*>(av);
  auto* b = static_cast<SshRemoteForward*>(bv);
  if (int c = std::strcmp(a->destinationHost, b->destinationHost)) return c < 0 ? -1 : 1;
  return Order(a->destinationPort, b->destinationPort);
}

int ComparePortKey(void* key, void* element) {
  return Order(*static_cast<uint32_t*>(key), static_cast<SshRemoteForward*>(element)->sourcePort);
}

// A port field: a number, else a service name looked up (and kept).
uint32_t ParsePort(const std::string& text, std::string* name) {
  if (text.empty()) return 0;
  bool numeric = true;
  for (char c : text) numeric = numeric && std::isdigit(static_cast<unsigned char>(c));
  if (numeric) return uint32_t(std::strtoul(text.c_str(), nullptr, 10));
  *name = text;
  return SshServicePort(text.c_str());
}

void Append(std::string& field, char c) {
  if (field.size() < kFieldLimit) field.push_back(c);
}

// One entry of the list; null when it is to be skipped.
SshForwardSpec* ParseEntry(const SshSession* s, const char* entry) {
  auto* spec = new SshForwardSpec{};
  const char* p = entry;
  if (*p == 'A' || *p == '4' || *p == '6') spec->family = *p == '4' ? 1 : *p == '6' ? 2 : 0, ++p;
  spec->type = 'L';
  if (*p == 'L' || *p == 'R' || *p == 'D') spec->type = *p++;
  const bool dropAddress = spec->type == 'R' && s->protocolVersion == 1;
  std::string field;
  for (; *p && *p != '\t'; ++p) {
    if (*p == ':') {
      if (!dropAddress) spec->sourceAddress = field, spec->hasSourceAddress = true;
      field.clear();
    } else {
      Append(field, *p);
    }
  }
  spec->sourcePort = ParsePort(field, &spec->sourcePortName);
  if (spec->type == 'D') {
    spec->destinationPort = UINT32_MAX;
  } else {
    if (*p == '\t') ++p;
    field.clear();
    for (; *p && *p != ':'; ++p) Append(field, *p);
    spec->destinationHost = field;
    spec->hasDestinationHost = !field.empty();
    if (*p == ':') ++p;
    field.clear();
    for (; *p; ++p) Append(field, *p);
    spec->destinationPort = ParsePort(field, &spec->destinationPortName);
  }
  if (spec->sourcePort == 0 || spec->destinationPort == 0) {
    delete spec;
    return nullptr;
  }
  return spec;
}

const char* RemoteListenAddress(const SshSession* s, const SshForwardSpec* spec) {
  if (spec->hasSourceAddress) return spec->sourceAddress.c_str();
  return s->settings.RemotePortsAcceptAll ? "0.0.0.0" : "127.0.0.1";
}

void FreeRemote(SshSession* s, SshRemoteForward* remote) {
  if (s->remoteForwards) TreeDelete(s->remoteForwards, remote);
  if (remote->spec) remote->spec->remote = nullptr;
  CheckedFree(remote);
}

// A refused remote forwarding is forgotten (and its spec no longer refers to it).
void OnRemoteForwardReply(SshSession* s, SshPacket* packet, void* context) {
  if (packet->type == cvssh::ssh1::kSmsgSuccess || packet->type == cvssh::ssh2::kMsgRequestSuccess) return;
  // The record may have gone meanwhile: it is looked for by identity, never read first.
  if (!s->remoteForwards) return;
  for (int32_t i = 0; void* element = TreeIndex(s->remoteForwards, i); ++i)
    if (element == context) return FreeRemote(s, static_cast<SshRemoteForward*>(element));
}

void RemoveSpec(SshSession* s, SshForwardSpec* spec) {
  if (spec->type == 'R') {
    if (s->protocolVersion == 2) {
      SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgGlobalRequest);
      SshPacketAddString(p, "cancel-tcpip-forward");
      SshPacketAddBool(p, false);
      SshPacketAddString(p, RemoteListenAddress(s, spec));
      SshPacketAddUint32(p, spec->sourcePort);
      Ssh2SendQueued(s, p);
    }
    if (spec->remote) FreeRemote(s, spec->remote);
  } else if (spec->listener) {
    PortForwardClose(spec->listener);
  }
  delete spec;
}

void StartSpec(SshSession* s, SshForwardSpec* spec) {
  const char* source = spec->hasSourceAddress ? spec->sourceAddress.c_str() : nullptr;
  if (spec->type == 'L') {
    PortForwardListen(spec->destinationHost.c_str(), int32_t(spec->destinationPort), source,
                      int32_t(spec->sourcePort), s, &s->settings, &spec->listener, int32_t(spec->family));
    return;
  }
  if (spec->type == 'D') {
    PortForwardListen(nullptr, -1, source, int32_t(spec->sourcePort), s, &s->settings, &spec->listener,
                      int32_t(spec->family));
    return;
  }
  auto* remote = static_cast<SshRemoteForward*>(cvssh::AllocOrDie(sizeof(SshRemoteForward)));
  std::memset(remote, 0, sizeof *remote);
  remote->sourcePort = spec->sourcePort;
  remote->destinationPort = spec->destinationPort;
  std::strncpy(remote->destinationHost, spec->destinationHost.c_str(), sizeof remote->destinationHost - 1);
  remote->spec = spec;
  if (!s->remoteForwards) s->remoteForwards = TreeNew(s->protocolVersion == 1 ? CompareRemote1 : CompareRemote2);
  if (TreeAdd(s->remoteForwards, remote) != remote) {
    CheckedFree(remote);
    return;
  }
  spec->remote = remote;
  if (s->protocolVersion == 1) {
    Ssh1SendPacket(s, cvssh::ssh1::kCmsgPortForwardRequest,
                   {{.kind = Ssh1Field::Uint32, .value = spec->sourcePort},
                    {.kind = Ssh1Field::Text, .data = remote->destinationHost},
                    {.kind = Ssh1Field::Uint32, .value = spec->destinationPort}});
    SshQueueReplyHandler(s, cvssh::ssh1::kSmsgSuccess, cvssh::ssh1::kSmsgFailure, OnRemoteForwardReply, remote);
    return;
  }
  SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgGlobalRequest);
  SshPacketAddString(p, "tcpip-forward");
  SshPacketAddBool(p, true);
  SshPacketAddString(p, RemoteListenAddress(s, spec));
  SshPacketAddUint32(p, spec->sourcePort);
  Ssh2SendQueued(s, p);
  SshQueueReplyHandler(s, cvssh::ssh2::kMsgRequestSuccess, cvssh::ssh2::kMsgRequestFailure, OnRemoteForwardReply,
                       remote);
}

}  // namespace

namespace cvssh::proto {

SshRemoteForward* FindRemoteForward(SshSession* s, uint32_t port) {
  if (!s->remoteForwards) return nullptr;
  return static_cast<SshRemoteForward*>(TreeFind(s->remoteForwards, &port, ComparePortKey));
}

int32_t RemoteForwardFamily(const SshRemoteForward* forward) {
  return forward->spec ? int32_t(forward->spec->family) : 0;
}

}  // namespace cvssh::proto

void SshSetupForwards(SshSession* s) {
  if (!s->forwardSpecs) s->forwardSpecs = TreeNew(CompareSpecs);
  for (int32_t i = 0; auto* spec = static_cast<SshForwardSpec*>(TreeIndex(s->forwardSpecs, i)); ++i)
    spec->status = 0;
  const char* list = s->settings.PortForwards;
  const char* end = list + sizeof s->settings.PortForwards;
  for (const char* entry = list; entry < end && *entry; entry += strnlen(entry, size_t(end - entry)) + 1) {
    if (!memchr(entry, 0, size_t(end - entry))) break;  // an unterminated entry is not read past the field
    SshForwardSpec* spec = ParseEntry(s, entry);
    if (!spec) continue;
    auto* existing = static_cast<SshForwardSpec*>(TreeAdd(s->forwardSpecs, spec));
    if (existing != spec) {
      existing->status = 1;
      delete spec;
    } else {
      spec->status = 2;
    }
  }
  for (int32_t i = 0; auto* spec = static_cast<SshForwardSpec*>(TreeIndex(s->forwardSpecs, i));) {
    if (spec->status != 0) {
      ++i;
      continue;
    }
    TreeDeleteAt(s->forwardSpecs, i);
    RemoveSpec(s, spec);
  }
  for (int32_t i = 0; auto* spec = static_cast<SshForwardSpec*>(TreeIndex(s->forwardSpecs, i)); ++i)
    if (spec->status == 2) StartSpec(s, spec);
}

void SshForwardsFree(SshSession* s) {
  if (s->forwardSpecs) {
    while (auto* spec = static_cast<SshForwardSpec*>(TreeDeleteAt(s->forwardSpecs, 0))) {
      if (spec->listener) PortForwardClose(spec->listener);
      delete spec;
    }
    TreeFree(s->forwardSpecs);
    s->forwardSpecs = nullptr;
  }
  if (s->remoteForwards) {
    while (auto* remote = static_cast<SshRemoteForward*>(TreeDeleteAt(s->remoteForwards, 0))) CheckedFree(remote);
    TreeFree(s->remoteForwards);
    s->remoteForwards = nullptr;
  }
}
