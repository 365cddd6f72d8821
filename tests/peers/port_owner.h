#pragma once
// Who listens on a loopback port: a check that a peer's port is held by the peer itself
// and not by another test's server that happened to take the same free port first.
#include <sys/types.h>

#include <cstdint>

namespace cvpeers {

// False only when a listener on port is known and none of its owners is the process
// group leader `group` or one of its members or descendants; true when it is ours or when
// the owners cannot be found (no /proc, or the socket left between the reads).
bool ListenerBelongsTo(pid_t group, uint16_t port);

}  // namespace cvpeers
