#pragma once
// Who listens on a loopback port: a check that a peer's port is held by the peer itself
// and not by another test's server that happened to take the same free port first.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cvpeers {

// A process that holds a listening socket of the port.
struct PortHolder {
  pid_t pid = 0;
  std::string command;   // its name, from /proc/<pid>/comm
  bool inGroup = false;  // the group leader asked about, a member of its group or a descendant
};

struct PortListeners {
  bool known = false;               // false: the system's socket tables cannot be read here
  bool listening = false;           // a socket listens on the family's loopback (or any) address
  std::vector<PortHolder> holders;  // empty while listening: it was closed meanwhile
};

// The listeners on TCP port of the family's loopback address (and of the wildcard
// addresses, which take the port too), with the processes that hold them. With
// stopAtGroup, the search ends at the first holder of `group`'s (its own processes first).
PortListeners FindListeners(int family, uint16_t port, pid_t group, bool stopAtGroup = false);

// One line for failure messages: "nothing listens", "held by pid 12 (vsftpd), the peer", ...
std::string DescribeListeners(const PortListeners& listeners);

}  // namespace cvpeers
