#!/usr/bin/env bash
# Builds everything and runs the forwarding benchmark under Wine (it is not
# part of the test suite): microseconds per forwarded call and per storage
# server call across apartments and across processes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/build.sh"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/forward_bench.exe" "$@"
