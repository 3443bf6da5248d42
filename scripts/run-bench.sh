#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine (they are not part of
# the test suite): microseconds per forwarded call and per storage server
# call across apartments and processes, then a 64 MiB file through the
# storage server next to a plain compound-file stream, then a 10,000-item
# storage folder listed through the library next to a bare client, and each
# icon overlay's IsMemberOf for a storage file next to one server call.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/build.sh"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/forward_bench.exe" "$@"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/storage_bench.exe"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/defrag_bench.exe"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/folder_bench.exe"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/overlay_bench.exe"
CFX_NO_DISPLAY=1 "$build/run-in-wine.sh" "$build/bin/transfer_bench.exe"
