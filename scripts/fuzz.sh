#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (into build-fuzz/) and runs one target, or every
# target in turn, for the given number of seconds each:
#   scripts/fuzz.sh TARGET|all SECONDS
# What a run finds that adds coverage is merged into fuzz/corpus/TARGET. A crash, a leak or a
# time-out leaves its input in build-fuzz/artifacts/TARGET/; once the fault is fixed, copy that
# input to fuzz/findings/TARGET/ so that every test run replays it (ctest -L fuzz).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?usage: fuzz.sh TARGET|all SECONDS}
seconds=${2:?usage: fuzz.sh TARGET|all SECONDS}
source "$top/scripts/ccache-env.sh"
build=$top/build-fuzz

if [ "$target" = all ]; then
  mapfile -t targets < <(ls "$top/fuzz/targets" | sed 's/\.cpp$//')
else
  [ -f "$top/fuzz/targets/$target.cpp" ] || { echo "no fuzz target named $target" >&2; exit 2; }
  targets=("$target")
fi

CC=clang-14 CXX=clang++-14 cmake -S "$top" -B "$build" -G Ninja -DCV_FUZZ=ON -DCV_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

# OpenSSL's process-wide caches are not leaks of ours.
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
status=0
for t in "${targets[@]}"; do
  corpus=$top/fuzz/corpus/$t
  artifacts=$build/artifacts/$t
  fresh=$(mktemp -d)
  mkdir -p "$corpus" "$artifacts"
  echo "== $t: $seconds s"
  # New inputs go to a scratch folder first; only those that add coverage are merged.
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$fresh" "$corpus" "$top/fuzz/findings/$t" 2>"$build/fuzz-$t.log"; then
    status=1
    echo "$t: finding in $artifacts (log: $build/fuzz-$t.log)"
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz-$t.log" | sed "s/^/$t: /" || true
  "$build/fuzz/fuzz_$t" -merge=1 "$corpus" "$fresh" >>"$build/fuzz-$t.log" 2>&1 || true
  rm -rf "$fresh"
done
exit "$status"
