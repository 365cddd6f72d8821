#!/usr/bin/env bash
# FTP servers conflict with each other in apt, so the ones not installed by apt are unpacked
# from their packages into .cache/peers/<name> and run from there by the tests.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache/peers"
mkdir -p "$cache"
for pkg in vsftpd pure-ftpd; do
  [ -d "$cache/$pkg/usr" ] && continue
  tmp=$(mktemp -d)
  chmod 755 "$tmp"  # apt fetches as its own unprivileged user
  (cd "$tmp" && apt-get download -qq "$pkg" >/dev/null)
  mkdir -p "$cache/$pkg"
  dpkg-deb -x "$tmp"/"$pkg"_*.deb "$cache/$pkg"
  rm -rf "$tmp"
done

# vsftpd checks passwords only through PAM, whose services live in /etc/pam.d (a service
# name is cut to its base name), so its test login gets a service of its own: the user and
# password of tests/support/ftp_peers.h in a user database that no other service reads.
if [ -w /etc/pam.d ] && command -v db5.3_load >/dev/null; then
  mkdir -p /var/lib/cvtest
  rm -f /var/lib/cvtest/vsftpd-users.db
  printf 'cvtest\ntest-pass\n' | db5.3_load -T -t hash /var/lib/cvtest/vsftpd-users.db
  chmod 600 /var/lib/cvtest/vsftpd-users.db
  cat > /etc/pam.d/cvtest-vsftpd <<'PAM'
# The test login of the vsftpd that the Corvanetics tests start; nothing else uses it.
auth required pam_userdb.so db=/var/lib/cvtest/vsftpd-users
account required pam_permit.so
PAM
fi
