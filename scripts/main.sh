#!/usr/bin/env bash
# Installs what is needed, builds the suite and runs the main job: the command-line host
# attaches every library built so far and prints what it finds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
export CCACHE_DIR=${CCACHE_DIR:-$top/.cache/ccache}
"$top/scripts/build.sh" "$top/build" -DCV_TESTS=OFF
"$top/build/tools/cvinfo/cvinfo"
