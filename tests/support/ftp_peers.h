#pragma once
// Real FTP servers for interoperability tests, each from a private configuration on
// 127.0.0.1 or ::1 and a free port: proftpd (installed by apt; a local user with a
// password from its own user file, its checksum module, and its forward proxy module),
// vsftpd (unpacked into the project's peer cache; anonymous login with a writable upload
// folder, and a virtual user with a password once scripts/setup.sh has given it its PAM
// service) and pure-ftpd (unpacked likewise; a virtual user from its own database). Every
// server serves a folder of the peer's private directory.
#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <vector>

#include "peers/peer.h"

namespace cvtest {

enum class FtpPeerKind { Proftpd, Vsftpd, PureFtpd, ProftpdProxy };

inline constexpr const char* kFtpPeerUser = "cvtest";
inline constexpr const char* kFtpPeerPassword = "test-pass";

// TLS of a peer (all three servers; implicit TLS on proftpd and vsftpd): the server's
// certificate with its key in one PEM file; required: logins and data only protected;
// clientCa: proftpd demands a client certificate issued by that CA.
struct FtpPeerTls {
  std::filesystem::path certificate;  // empty: no TLS
  bool implicit = false;
  bool required = false;
  std::filesystem::path clientCa;
};

class FtpPeer {
 public:
  // proxyMethod: the forward method of ProftpdProxy ("user@host" or "proxyuser,user@host");
  // the proxy user is kFtpPeerUser with kFtpPeerPassword as well.
  // extraArgs: further command-line options of pure-ftpd (e.g. a forced passive address).
  FtpPeer(FtpPeerKind kind, int family = AF_INET, std::string proxyMethod = "user@host",
          std::vector<std::string> extraArgs = {});
  // A server with TLS. vsftpd insists that data connections resume the command
  // connection's session (require_ssl_reuse), and proftpd does so by default.
  // checksums false: proftpd's checksum module stays off. On, it digests every file it
  // sends or receives as the bytes pass (for HASH), which costs it more than the
  // transfer itself: a benchmark of clients would measure that digest.
  FtpPeer(FtpPeerKind kind, int family, const FtpPeerTls& tls, bool checksums = true);

  cvpeers::PeerProcess::StartResult Start();
  std::string Diagnostics() const { return process_.Diagnostics(); }
  cvpeers::PeerProcess& process() { return process_; }
  const std::string& address() const { return process_.address(); }
  uint16_t port() const { return process_.port(); }
  // The login the server accepts: the local user, or anonymous (empty) for the others.
  bool anonymousOnly() const { return kind_ == FtpPeerKind::Vsftpd; }
  const char* user() const { return anonymousOnly() ? "anonymous" : kFtpPeerUser; }
  const char* password() const { return anonymousOnly() ? "guest@" : kFtpPeerPassword; }
  // Whether kFtpPeerUser logs in with kFtpPeerPassword (vsftpd: when its PAM service is
  // installed; its files are then in the peer's folder "home", not in root()).
  bool hasPasswordLogin() const;
  // The local folder the login starts in (its files are the server's), and the remote
  // folder below it that the login may write to ("" for the start folder itself).
  std::filesystem::path root() const;
  std::string uploadDir() const { return anonymousOnly() ? "upload" : ""; }
  // Puts a file into root() (readable by the server's login) and returns its path.
  std::filesystem::path Put(const std::string& name, const std::string& content) const;

 private:
  FtpPeerKind kind_;
  cvpeers::PeerProcess process_;
};

}  // namespace cvtest
