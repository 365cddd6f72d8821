#pragma once
// Real FTP servers for interoperability tests, each from a private configuration on
// 127.0.0.1 or ::1 and a free port: proftpd (installed by apt; a local user with a
// password from its own user file, and its forward proxy module), vsftpd and pure-ftpd
// (unpacked into the project's peer cache; anonymous logins).
#include <sys/socket.h>

#include <string>

#include "peers/peer.h"

namespace cvtest {

enum class FtpPeerKind { Proftpd, Vsftpd, PureFtpd, ProftpdProxy };

inline constexpr const char* kFtpPeerUser = "cvtest";
inline constexpr const char* kFtpPeerPassword = "test-pass";

class FtpPeer {
 public:
  // proxyMethod: the forward method of ProftpdProxy ("user@host" or "proxyuser,user@host");
  // the proxy user is kFtpPeerUser with kFtpPeerPassword as well.
  FtpPeer(FtpPeerKind kind, int family = AF_INET, std::string proxyMethod = "user@host");

  cvpeers::PeerProcess::StartResult Start();
  std::string Diagnostics() const { return process_.Diagnostics(); }
  cvpeers::PeerProcess& process() { return process_; }
  const std::string& address() const { return process_.address(); }
  uint16_t port() const { return process_.port(); }
  // The login the server accepts: the local user, or anonymous (empty) for the others.
  bool anonymousOnly() const { return kind_ == FtpPeerKind::Vsftpd || kind_ == FtpPeerKind::PureFtpd; }

 private:
  FtpPeerKind kind_;
  cvpeers::PeerProcess process_;
};

}  // namespace cvtest
