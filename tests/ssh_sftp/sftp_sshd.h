#pragma once
// An sshd for SFTP tests: a private configuration on loopback with password (and, for the
// benchmark, public-key) authentication for the test account, the SFTP subsystem served
// in-process or by the external server program, and a directory the account owns where
// the tests put their files.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "peers/peer.h"

namespace sftptest {

inline constexpr const char* kUser = "cvsshtest";
inline constexpr const char* kPassword = "Corv-pw-7731";

// The test account and sshd's privilege-separation directory; several test processes may
// get here at once, so the changes run under one lock.
inline bool EnsureMachineSetup() {
  static int state = -1;
  if (state < 0) {
    std::string cmd = std::string("flock /tmp/cvsshtest-setup.lock sh -c '") +
                      "mkdir -p /run/sshd && chmod 755 /run/sshd; " + "id " + kUser +
                      " >/dev/null 2>&1 || useradd -M -d /tmp -s /bin/sh " + kUser + "; " + "echo " + kUser + ":" +
                      kPassword + " | chpasswd' >/dev/null 2>&1";
    state = std::system(cmd.c_str()) == 0 ? 1 : 0;
  }
  return state == 1;
}

// A directory below /tmp that the test account owns (removed at the end).
class UserDir {
 public:
  UserDir() {
    char name[] = "/tmp/cvsftp-XXXXXX";
    if (mkdtemp(name)) path_ = name;
    if (!path_.empty()) {
      chmod(path_.c_str(), 0777);
      std::string cmd = "chown " + std::string(kUser) + ": " + path_.string() + " 2>/dev/null";
      (void)std::system(cmd.c_str());
    }
  }
  ~UserDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  UserDir(const UserDir&) = delete;
  UserDir& operator=(const UserDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Files the tests put there belong to the test account, like the server's own.
inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), 0666);
  if (passwd* user = getpwnam(kUser)) (void)chown(path.c_str(), user->pw_uid, user->pw_gid);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bytes that differ along the file, so a misplaced block shows.
inline std::string Pattern(size_t size, uint32_t seed = 1) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = char(x >> 16);
  }
  return out;
}

struct SshdOptions {
  bool externalServer = false;  // the sftp-server program instead of internal-sftp
  std::string authorizedKeys;   // public keys for key authentication (benchmark)
  std::string extraConfig;      // more sshd_config lines (algorithms, connection limits)
};

class SftpSshd {
 public:
  explicit SftpSshd(SshdOptions o = {})
      : peer_({.program = cvpeers::FindProgram("sshd").empty() ? "sshd" : cvpeers::FindProgram("sshd"),
               .args = {"-D", "-e", "-f", "{{CONFIG}}"},
               .configName = "sshd_config",
               .configTemplate = Config(o)}),
        options_(std::move(o)) {}

  cvpeers::PeerProcess::StartResult Start() {
    if (cvpeers::FindProgram("sshd").empty() || !EnsureMachineSetup() || users_.path().empty())
      return cvpeers::PeerProcess::StartResult::Unavailable;
    std::string cmd = "ssh-keygen -q -t rsa -b 2048 -N '' -f " + (peer_.dir() / "host_rsa").string() +
                      " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return cvpeers::PeerProcess::StartResult::Failed;
    if (!options_.authorizedKeys.empty()) {
      std::string keys = users_ / ".authorized_keys";
      WriteFile(keys, options_.authorizedKeys);
      chmod(keys.c_str(), 0644);
    }
    return peer_.Start();
  }
  cvpeers::PeerProcess& peer() { return peer_; }
  const UserDir& files() const { return users_; }

 private:
  std::string Config(const SshdOptions& o) {
    std::string s =
        "Port {{PORT}}\nListenAddress {{ADDR}}\nHostKey {{DIR}}/host_rsa\nPidFile none\nUsePAM no\n"
        "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nPermitRootLogin no\nStrictModes no\n"
        "UseDNS no\nLogLevel ERROR\nHostKeyAlgorithms ssh-rsa\nPubkeyAcceptedAlgorithms +ssh-rsa\n";
    s += o.authorizedKeys.empty() ? "PubkeyAuthentication no\n"
                                  : "PubkeyAuthentication yes\nAuthorizedKeysFile " + (users_ / ".authorized_keys") + "\n";
    s += o.externalServer ? "Subsystem sftp /usr/lib/openssh/sftp-server\n" : "Subsystem sftp internal-sftp\n";
    return s + o.extraConfig;
  }

  UserDir users_;  // declared first: the configuration names it
  cvpeers::PeerProcess peer_;
  SshdOptions options_;
};

#define START_SFTP_SSHD(server)                                                   \
  do {                                                                            \
    switch ((server).Start()) {                                                   \
      case cvpeers::PeerProcess::StartResult::Started: break;                     \
      case cvpeers::PeerProcess::StartResult::Unavailable:                        \
        GTEST_SKIP() << "sshd or the test account is not available";              \
      case cvpeers::PeerProcess::StartResult::Failed:                             \
        FAIL() << (server).peer().Diagnostics();                                  \
    }                                                                             \
  } while (0)

}  // namespace sftptest
