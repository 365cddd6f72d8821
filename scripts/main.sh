#!/usr/bin/env bash
# Installs what is needed, builds the suite and runs the main job: the library banner tool,
# then the FileTransfer control registered into a registry below build/ and driven by the
# command-line host, first on its properties, then downloading a file from a local proftpd.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
source "$top/scripts/ccache-env.sh"
"$top/scripts/build.sh" "$top/build" -DCV_TESTS=OFF
"$top/build/tools/cvinfo/cvinfo"

export CV_REGISTRY_ROOT="$top/build/registry"
mkdir -p "$CV_REGISTRY_ROOT"
"$top/build/tools/cvregsvr/cvregsvr" "$top/build/lib/libxferctl.so"
"$top/build/tools/cvhost/cvhost" Corvanetics.FileTransfer \
  '?Version' '?IsInitialized' 'Initialize()' '?IsInitialized' '?Timeout' '?Passive' '?ProtocolVersion' \
  '?ActivePort(0)' '?ActivePort(1)'
# One real download through the control, when a local proftpd can serve it.
"$top/scripts/transfer-demo.sh" "$top/build"
