#pragma once
// xinetd's internal RFC 868 time service as a test peer, on a private configuration.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "peers/peer.h"

namespace timetest {

// The service answers each datagram itself; "user" may only be given when running as root.
inline std::string XinetdConfig(int family) {
  std::string c =
      "defaults\n{\n}\n"
      "service time\n{\n"
      "  type = INTERNAL UNLISTED\n"
      "  id = time-dgram\n"
      "  socket_type = dgram\n"
      "  protocol = udp\n"
      "  wait = yes\n"
      "  port = {{PORT}}\n"
      "  bind = {{ADDR}}\n";
  if (family == AF_INET6) c += "  flags = IPv6\n";
  if (geteuid() == 0) c += "  user = root\n";
  return c + "}\n";
}

inline cvpeers::PeerOptions XinetdTimeService(int family = AF_INET) {
  return {.program = "xinetd",
          .args = {"-dontfork", "-stayalive", "-f", "{{CONFIG}}", "-pidfile", "{{DIR}}/pid"},
          .configName = "xinetd.conf",
          .configTemplate = XinetdConfig(family),
          .family = family,
          .waitForPort = false};
}

}  // namespace timetest
