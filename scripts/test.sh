#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test (unit and peer), then the
# unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
export CCACHE_DIR=${CCACHE_DIR:-$top/.cache/ccache}
jobs=$(nproc)
"$top/scripts/build.sh" "$top/build"
(cd "$top/build" && ctest -j"$((jobs * 2))" --output-on-failure)
"$top/scripts/build.sh" "$top/build-asan" -DCV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd "$top/build-asan" && LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0" ctest -j"$((jobs * 2))" -L unit --output-on-failure)
