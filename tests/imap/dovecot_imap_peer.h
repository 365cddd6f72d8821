#pragma once
// dovecot as the IMAP test peer: the POP3 suite's set-up (test user, certificate, maildir
// with messages) with a private configuration that serves IMAP on a plain listener and an
// implicit-TLS one.
#include <string>

#include "peers/peer.h"
#include "pop3/dovecot_peer.h"

namespace imaptest {

using pop3test::kDovecotPassword;
using pop3test::kDovecotUser;
using pop3test::PrepareDovecot;

inline cvpeers::PeerOptions DovecotImapOptions(int family) {
  return cvpeers::PeerOptions{
      .program = "dovecot",
      .args = {"-F", "-c", "{{CONFIG}}"},
      .configName = "dovecot.conf",
      .configTemplate = R"(base_dir = {{DIR}}/run
state_dir = {{DIR}}/state
log_path = {{DIR}}/dovecot.log
instance_name = imaptest-{{PORT}}
listen = {{ADDR}}
protocols = imap
ssl = yes
ssl_cert = <{{DIR}}/cert.pem
ssl_key = <{{DIR}}/key.pem
disable_plaintext_auth = no
auth_failure_delay = 0
auth_mechanisms = plain
default_internal_user = dovecot
default_internal_group = dovecot
default_login_user = dovenull
first_valid_uid = 1
mail_location = maildir:{{DIR}}/mail
imap_idle_notify_interval = 1 secs
imap_id_log = *
namespace inbox {
  inbox = yes
  separator = /
}
passdb {
  driver = passwd-file
  args = {{DIR}}/passwd
}
userdb {
  driver = static
  args = uid=dovecot gid=dovecot home={{DIR}}/home
}
service imap-login {
  chroot =
  inet_listener imap {
    port = {{PORT}}
  }
  inet_listener imaps {
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

}  // namespace imaptest
