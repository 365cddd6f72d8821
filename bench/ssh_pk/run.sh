#!/usr/bin/env bash
# Runs the public-key benchmark beside `openssl speed` for the same sizes.
# Usage: bench/ssh_pk/run.sh [build dir]   (the build dir must hold libcvssh.a)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
g++ -std=c++20 -O2 -I"$top/src" "$top/bench/ssh_pk/bench_pk.cpp" "$build/src/ssh/libcvssh.a" -o "$out/bench_pk"
echo "== this library"
"$out/bench_pk"
echo "== openssl speed (sign uses CRT: two half-size exponentiations)"
openssl speed -seconds 2 rsa2048 rsa4096 2>/dev/null | grep -E "^rsa|sign/s"
