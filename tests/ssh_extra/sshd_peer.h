#pragma once
// sshd with a private configuration on 127.0.0.1 for the forwarding and proxy tests: the
// test account, host keys in the peer's directory, password authentication, TCP and X11
// forwarding allowed.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "peers/peer.h"

namespace sshextra {

inline constexpr const char* kUser = "cvsshtest";
inline constexpr const char* kPassword = "Corv-pw-7731";

// The test account and sshd's privilege-separation directory, under one lock because
// several test programs may get here at once.
inline bool EnsureAccount() {
  static int state = -1;
  if (state < 0) {
    std::string cmd = std::string("flock /tmp/cvsshtest-setup.lock sh -c '") +
                      "mkdir -p /run/sshd && chmod 755 /run/sshd; id " + kUser + " >/dev/null 2>&1 || useradd -M -d /tmp -s /bin/sh " +
                      kUser + "; echo " + kUser + ":" + kPassword + " | chpasswd' >/dev/null 2>&1";
    state = std::system(cmd.c_str()) == 0 ? 1 : 0;
  }
  return state == 1;
}

class ForwardingSshd {
 public:
  ForwardingSshd()
      : peer_({.program = "sshd",
               .args = {"-D", "-e", "-f", "{{CONFIG}}"},
               .configName = "sshd_config",
               .configTemplate =
                   "Port {{PORT}}\nListenAddress {{ADDR}}\nHostKey {{DIR}}/host_rsa\nPidFile none\nUsePAM no\n"
                   "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nPubkeyAuthentication no\n"
                   "PermitRootLogin no\nStrictModes no\nUseDNS no\nLogLevel DEBUG1\nHostKeyAlgorithms ssh-rsa\n"
                   "AllowTcpForwarding yes\nGatewayPorts no\nX11Forwarding yes\nX11UseLocalhost yes\n"
                   "X11DisplayOffset 20\nXAuthLocation /usr/bin/xauth\nSubsystem sftp internal-sftp\n"}) {}

  cvpeers::PeerProcess::StartResult Start() {
    if (cvpeers::FindProgram("sshd").empty()) return cvpeers::PeerProcess::StartResult::Unavailable;
    std::string cmd = "ssh-keygen -q -t rsa -b 2048 -N '' -f " + (peer_.dir() / "host_rsa").string() + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return cvpeers::PeerProcess::StartResult::Failed;
    return peer_.Start();
  }
  cvpeers::PeerProcess& peer() { return peer_; }

 private:
  cvpeers::PeerProcess peer_;
};

#define START_FORWARDING_SSHD(server)                                                  \
  do {                                                                                 \
    if (!::sshextra::EnsureAccount()) GTEST_SKIP() << "cannot prepare the test account"; \
    switch ((server).Start()) {                                                        \
      case cvpeers::PeerProcess::StartResult::Started: break;                          \
      case cvpeers::PeerProcess::StartResult::Unavailable:                             \
        GTEST_SKIP() << "sshd is not installed";                                       \
      case cvpeers::PeerProcess::StartResult::Failed:                                  \
        FAIL() << (server).peer().Diagnostics();                                       \
    }                                                                                  \
  } while (0)

}  // namespace sshextra
