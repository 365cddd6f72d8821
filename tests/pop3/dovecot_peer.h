#pragma once
// dovecot as the POP3 test peer: a private configuration in the peer's directory, a plain
// listener and an implicit-TLS one, a test user with a plain password (so APOP works) and a
// maildir filled with the given messages. The login processes must not run as root, so the
// directory is opened to the unprivileged users dovecot runs them as.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "peers/peer.h"

namespace pop3test {

inline constexpr const char* kDovecotUser = "test";
inline constexpr const char* kDovecotPassword = "secret";

inline cvpeers::PeerOptions DovecotOptions(int family) {
  return cvpeers::PeerOptions{
      .program = "dovecot",
      .args = {"-F", "-c", "{{CONFIG}}"},
      .configName = "dovecot.conf",
      .configTemplate = R"(base_dir = {{DIR}}/run
state_dir = {{DIR}}/state
log_path = {{DIR}}/dovecot.log
instance_name = pop3test-{{PORT}}
listen = {{ADDR}}
protocols = pop3
ssl = yes
ssl_cert = <{{DIR}}/cert.pem
ssl_key = <{{DIR}}/key.pem
disable_plaintext_auth = no
auth_failure_delay = 0
auth_mechanisms = plain apop
default_internal_user = dovecot
default_internal_group = dovecot
default_login_user = dovenull
first_valid_uid = 1
mail_location = maildir:{{DIR}}/mail
pop3_uidl_format = %08Xu%08Xv
passdb {
  driver = passwd-file
  args = {{DIR}}/passwd
}
userdb {
  driver = static
  args = uid=dovecot gid=dovecot home={{DIR}}/home
}
service pop3-login {
  chroot =
  inet_listener pop3 {
    port = {{PORT}}
  }
  inet_listener pop3s {
    port = {{TLSPORT}}
    ssl = yes
  }
}
service anvil {
  chroot =
}
)",
      .ports = {"TLSPORT"},
      .logFiles = {"dovecot.log"},
      .family = family,
  };
}

// Runs a program (no shell) and waits for it; true when it exited with 0.
inline bool RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &quiet, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Writes the certificate, the password file and the maildir with messages (CR LF text);
// false when the set-up cannot be made here (no openssl, no dovecot users).
inline bool PrepareDovecot(const cvpeers::PeerProcess& peer, const std::vector<std::string>& messages) {
  namespace fs = std::filesystem;
  if (!getpwnam("dovenull")) return false;
  const passwd* user = getpwnam("dovecot");  // its static record is read before any other look-up
  if (!user) return false;
  const uid_t uid = user->pw_uid;
  const gid_t gid = user->pw_gid;
  const fs::path dir = peer.dir();
  if (!RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", (dir / "key.pem").string(),
                   "-out", (dir / "cert.pem").string(), "-days", "2", "-subj", "/CN=localhost"}))
    return false;
  std::error_code ec;
  fs::permissions(dir, fs::perms(0755), ec);
  std::string passwdLine = std::string(kDovecotUser) + ":{PLAIN}" + kDovecotPassword + "::::::\n";
  fs::create_directories(dir / "home");
  for (const char* sub : {"new", "cur", "tmp"}) fs::create_directories(dir / "mail" / sub);
  FILE* f = fopen((dir / "passwd").c_str(), "w");
  if (!f) return false;
  fputs(passwdLine.c_str(), f);
  fclose(f);
  for (size_t i = 0; i < messages.size(); ++i) {
    // Delivery order is the name order: a time stamp prefix dovecot sorts by.
    const fs::path file = dir / "mail" / "cur" / (std::to_string(1000000000 + i) + ".M" + std::to_string(i) + ".test:2,");
    FILE* m = fopen(file.c_str(), "wb");
    if (!m) return false;
    fwrite(messages[i].data(), 1, messages[i].size(), m);
    fclose(m);
  }
  bool owned = true;
  auto give = [&](const fs::path& p) { owned = chown(p.c_str(), uid, gid) == 0 && owned; };
  for (const auto& p : fs::recursive_directory_iterator(dir / "mail")) give(p.path());
  give(dir / "mail");
  give(dir / "home");
  return owned;
}

}  // namespace pop3test
