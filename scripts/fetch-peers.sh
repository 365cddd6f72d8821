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
