#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (into build-fuzz/) and runs one target, or every
# target in turn, for the given number of seconds each:
#   scripts/fuzz.sh TARGET|all SECONDS
#   scripts/fuzz.sh refresh TARGET|all SECONDS
# The seeds of fuzz/corpus/TARGET (kept small, by hand) and the minimised inputs of
# fuzz/corpus/TARGET/grown start each run; what a run finds that adds coverage is merged into
# the working corpus build-fuzz/corpus/TARGET, which later runs go on from. The refresh mode
# then minimises what the working corpus adds to the seeds (-merge=1) into
# fuzz/corpus/TARGET/grown, within a budget of 200 files and 1 MB per target with the seeds
# (the largest inputs go first when over), for every test run to replay.
# A crash, a leak or a time-out leaves its input in build-fuzz/artifacts/TARGET/; once the
# fault is fixed, copy that input to fuzz/findings/TARGET/ so that every test run replays it
# (ctest -L fuzz).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: fuzz.sh [refresh] TARGET|all SECONDS"
refresh=0
if [ "${1:-}" = refresh ]; then
  refresh=1
  shift
fi
target=${1:?$usage}
seconds=${2:?$usage}
max_files=200
max_bytes=$((1024 * 1024))
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

export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"

# Replaces fuzz/corpus/TARGET/grown with what the working corpus and the old grown inputs
# add to the hand seeds' coverage, cut to the budget.
refresh_grown() {
  local t=$1 seeds=$top/fuzz/corpus/$1 out
  out=$(mktemp -d)
  mkdir "$out/all"
  find "$seeds" -maxdepth 1 -type f -exec cp {} "$out/all/" \;
  local -a from=("$build/corpus/$t")
  [ -d "$seeds/grown" ] && from+=("$seeds/grown")
  "$build/fuzz/fuzz_$t" -merge=1 "$out/all" "${from[@]}" >>"$build/fuzz-$t.log" 2>&1
  mkdir "$out/grown"
  local f
  for f in "$out/all"/*; do
    [ -e "$seeds/$(basename "$f")" ] || mv "$f" "$out/grown/"
  done
  local files bytes
  files=$(find "$seeds" -maxdepth 1 -type f | wc -l)
  bytes=$(find "$seeds" -maxdepth 1 -type f -printf '%s\n' | awk '{s+=$1} END {print s+0}')
  # Smallest first, while both limits hold.
  while read -r size f; do
    if [ $((files + 1)) -gt "$max_files" ] || [ $((bytes + size)) -gt "$max_bytes" ]; then
      rm -f "$f"
    else
      files=$((files + 1))
      bytes=$((bytes + size))
    fi
  done < <(find "$out/grown" -type f -printf '%s %p\n' | sort -n)
  rm -rf "$seeds/grown"
  mv "$out/grown" "$seeds/grown"
  rm -rf "$out"
  echo "$t: $files files, $bytes bytes committed to fuzz/corpus/$t"
}

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
  if [ "$refresh" = 1 ]; then refresh_grown "$t"; fi
done
exit "$status"
