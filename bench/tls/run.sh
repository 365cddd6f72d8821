#!/bin/sh
# Adapter record throughput beside `openssl speed` for the cipher the adapter negotiates.
# Usage: bench/tls/run.sh <build dir configured with -DCV_BENCH=ON>
set -e
build=${1:-build-bench}
cmake --build "$build" --target bench_tls
"$build/bench/tls/bench_tls"
openssl speed -evp aes-256-gcm -bytes 16384 -seconds 2 2>/dev/null | tail -2
