#!/usr/bin/env bash
# Runs the public-key benchmark (ours and OpenSSL's library in one process), then
# `openssl speed` for the same sizes as the command-line peer.
# Usage: bench/ssh_pk/run.sh [build dir]   (configured with -DCV_BENCH=ON)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
cmake --build "$build" --target bench_ssh_pk >/dev/null
echo "== this library beside OpenSSL's, same numbers and keys"
"$build/bench/ssh_pk/bench_ssh_pk" --benchmark_min_time=1
echo "== openssl speed (its sign uses CRT: two half-size exponentiations)"
openssl speed -seconds 2 rsa2048 rsa4096 2>/dev/null | grep -E "^rsa|sign/s"
