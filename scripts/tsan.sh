#!/usr/bin/env bash
# Builds the tests of threaded code (server engine, message pump and reactor, IMAP IDLE,
# tasks, SSH sockets and per-session pumps, the SSH-layer lock, SFTP sessions on many
# threads, the FTP, HTTP and TCP servers, the FileTransfer control's background tasks) with
# ThreadSanitizer into build-tsan/ and runs them (the tests labelled tsan).
# Not part of the default test run. Extra arguments go to ctest (e.g. -R Engine).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/ccache-env.sh"
build=$top/build-tsan
cmake -S "$top" -B "$build" -G Ninja -DCV_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)" --target tsan_tests
cd "$build"
ctest -L tsan -j"$(nproc)" --output-on-failure "$@"
