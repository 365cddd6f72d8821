#pragma once
// exim as the SMTP peer: a private configuration in the peer's temporary directory that
// accepts mail for any address (except the local part "refused") and delivers every copy
// into one maildir there, with STARTTLS on a fresh self-signed certificate, AUTH LOGIN for
// bob/secret, SIZE, 8BITMIME and DSN.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peers/peer.h"

namespace smtptest {

inline constexpr const char* kEximConfig = R"(
primary_hostname = exim.test
local_interfaces = <; {{ADDR}}
spool_directory = {{DIR}}/spool
log_file_path = {{DIR}}/spool/%slog
pid_file_path = {{DIR}}/spool/exim.pid
exim_user = Debian-exim
exim_group = Debian-exim
keep_environment =
host_lookup = :
rfc1413_hosts = :
message_size_limit = {{SIZE_LIMIT}}
dsn_advertise_hosts = *
tls_advertise_hosts = *
tls_certificate = {{DIR}}/cert.pem
tls_privatekey = {{DIR}}/key.pem
auth_advertise_hosts = *
acl_smtp_rcpt = acl_rcpt
begin acl
acl_rcpt:
  deny local_parts = refused
  accept
begin routers
all:
  driver = accept
  transport = to_maildir
begin transports
to_maildir:
  driver = appendfile
  directory = {{DIR}}/mail
  maildir_format
  user = Debian-exim
  envelope_to_add
begin authenticators
login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = Username:: : Password::
  server_condition = ${if and {{eq{$auth1}{bob}}{eq{$auth2}{secret}}}}
  server_set_id = $auth1
)";

struct EximOptions {
  int family = 2;  // AF_INET
  std::string sizeLimit = "50M";
  bool tlsOnConnect = false;  // every connection starts with the TLS handshake
};

class EximPeer {
 public:
  explicit EximPeer(const EximOptions& o = {})
      : peer_({.program = "exim4",
               .args = Arguments(o),
               .configName = "exim.conf",
               .configTemplate = kEximConfig,
               .values = {{"SIZE_LIMIT", o.sizeLimit}},
               .logFiles = {"spool/mainlog", "spool/paniclog"},
               .family = o.family}) {}

  // Prepares the directory (exim's own user delivers into it) and starts exim. False with
  // the reason when it cannot run here.
  bool Prepare(std::string& why) {
    const passwd* user = getpwnam("Debian-exim");
    if (!user) return why = "no exim user", false;
    const std::filesystem::path& dir = peer_.dir();
    std::filesystem::permissions(dir, std::filesystem::perms(0755));
    for (const char* sub : {"spool", "mail"}) {
      std::filesystem::create_directories(dir / sub);
      if (chown((dir / sub).c_str(), user->pw_uid, user->pw_gid) != 0) return why = "cannot chown", false;
    }
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" +
                                (dir / "key.pem").string() + "' -out '" + (dir / "cert.pem").string() +
                                "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return why = "openssl cannot make a test certificate", false;
    std::filesystem::permissions(dir / "key.pem", std::filesystem::perms(0644));
    return true;
  }

  cvpeers::PeerProcess& process() { return peer_; }
  uint32_t port() const { return peer_.port(); }
  const std::string& address() const { return peer_.address(); }

  // The delivered copies (maildir files), waiting up to 10 s for at least count of them.
  std::vector<std::string> Delivered(size_t count) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      std::vector<std::string> out;
      std::error_code ec;
      for (const auto& e : std::filesystem::directory_iterator(peer_.dir() / "mail" / "new", ec)) {
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        out.push_back(text.str());
      }
      if (out.size() >= count || std::chrono::steady_clock::now() >= end) return out;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::string MainLog() const {
    std::ifstream in(peer_.dir() / "spool" / "mainlog");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  static std::vector<std::string> Arguments(const EximOptions& o) {
    std::vector<std::string> args = {"-C", "{{CONFIG}}", "-bdf", "-oX", "{{PORT}}"};
    if (o.tlsOnConnect) args.push_back("-tls-on-connect");
    return args;
  }

  cvpeers::PeerProcess peer_;
};

}  // namespace smtptest

// Starts exim for a test (skipping when it is not installed).
#define CV_START_EXIM(exim)                                      \
  do {                                                           \
    std::string why_;                                            \
    if (!(exim).Prepare(why_)) GTEST_SKIP() << why_;             \
    CV_START_PEER((exim).process());                             \
  } while (0)
