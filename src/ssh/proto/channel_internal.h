#pragma once
// What the connection layer's files share among themselves.
#include <cstdint>

#include "ssh/proto/session.h"

struct SshForwardSpec;
struct SshChannel;

// A remote forwarding the server was asked for.
struct SshRemoteForward {
  uint32_t sourcePort;
  uint32_t destinationPort;
  char destinationHost[256];
  SshForwardSpec* spec;
};

namespace cvssh::proto {

// The SSH-2 remote forwarding listening on the server's port, or null.
SshRemoteForward* FindRemoteForward(SshSession* session, uint32_t port);
// The address family of the forwarding that owns the record (0 any, 1 IPv4, 2 IPv6).
int32_t RemoteForwardFamily(const SshRemoteForward* forward);
// Whether the channel carries an X11 or forwarded-port connection, and closing it (the
// channel then forgets it).
bool ClosesConnection(const SshChannel* channel);
void CloseConnection(SshChannel* channel);

}  // namespace cvssh::proto
