#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
