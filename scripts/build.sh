#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $CFX_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/bootstrap.sh"
# ccache keeps rebuilds (and several checkouts of the tree) cheap.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$top")}" CCACHE_NOHASHDIR=1
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
cmake --build "$build"
