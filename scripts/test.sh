#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test: unit tests and interoperability tests
# against real servers on loopback. One checked build keeps the run short on small machines.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
source "$top/scripts/ccache-env.sh"
# The layout of the lines this change touches; judged now (it is cheap), reported after the tests.
format_status=0
"$top/scripts/check-format.sh" || format_status=1
jobs=$(nproc)
"$top/scripts/build.sh" "$top/build-check" -DCV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cd "$top/build-check"
# A test that fails is run again (at most three runs in all) so that a loaded machine's
# scheduling hiccup is not a red run; a real fault fails every time. A test that needed a
# rerun is still a fault to find, so every one is named at the end.
if ! ctest -j"$((jobs * 2))" --output-on-failure; then
  mapfile -t rerun < <(cut -d: -f2- Testing/Temporary/LastTestsFailed.log)
  status=0
  ctest -j"$((jobs * 2))" --output-on-failure --rerun-failed --repeat until-pass:2 || status=$?
  echo
  echo "Tests that failed their first run (${#rerun[@]}):"
  printf '  NEEDED A RERUN: %s\n' "${rerun[@]}"
  [ "$status" -ne 0 ] && exit "$status"
fi
exit "$format_status"
