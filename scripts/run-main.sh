#!/usr/bin/env bash
# Builds the library and shows it working under Wine: loads cfxview.dll the way
# COM does and lists its classes with the interfaces each one answers.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/build.sh"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/cfxclasses.exe" "$@"
