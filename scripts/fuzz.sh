#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (into build-fuzz/) and runs one target, or every
# target in turn, for the given number of seconds each:
#   scripts/fuzz.sh TARGET|all SECONDS
# The seeds of fuzz/corpus/TARGET (kept small, by hand) start each run; what a run finds that
# adds coverage is merged into the working corpus build-fuzz/corpus/TARGET, which later runs
# go on from. A crash, a leak or a time-out leaves its input in build-fuzz/artifacts/TARGET/;
# once the fault is fixed, copy that input to fuzz/findings/TARGET/ so that every test run
# replays it (ctest -L fuzz).
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
  corpus=$build/corpus/$t
  artifacts=$build/artifacts/$t
  fresh=$(mktemp -d)
  mkdir -p "$corpus" "$artifacts"
  echo "== $t: $seconds s"
  before=$(ls "$artifacts" | wc -l)
  findings=()
  [ -d "$top/fuzz/findings/$t" ] && findings=("$top/fuzz/findings/$t")
  # One worker process that is restarted after each finding, so that a run collects every
  # finding of its time instead of stopping at the first. New inputs go to a scratch folder
  # first; only those that add coverage are merged into the corpus.
  "$build/fuzz/fuzz_$t" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$fresh" "$corpus" "$top/fuzz/corpus/$t" ${findings[@]+"${findings[@]}"} >"$build/fuzz-$t.log" 2>&1 || true
  found=$(( $(ls "$artifacts" | wc -l) - before ))
  if [ "$found" -gt 0 ]; then
    status=1
    echo "$t: $found new finding(s) in $artifacts (log: $build/fuzz-$t.log)"
  fi
  grep -E '^#[0-9]+: cov' "$build/fuzz-$t.log" | tail -1 | sed "s/^/$t: /" || true
  "$build/fuzz/fuzz_$t" -merge=1 "$corpus" "$fresh" >>"$build/fuzz-$t.log" 2>&1 || true
  rm -rf "$fresh"
done
exit "$status"
