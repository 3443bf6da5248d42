#!/usr/bin/env bash
# Pictures of every dialog of the progress, input and list dialogs - the progress
# dialog of each kind, the list of corrupted files (corrupted-files-*) and a
# storage item's Properties (item-properties-*) in both variants, and the
# password prompt - of the "New" wizard's three pages (wizard-key,
# wizard-options, wizard-confirm), and of a storage file's context menu with
# "Manage key" open and its Properties dialog on the "Coffrex tools" page in
# both variants (storage-{modern,classic}-{menu,properties}), as PNG files
# in build/screenshots/ (or $CFX_BUILD_DIR/screenshots/). Builds what is
# missing first. The pictures are taken under Wine on an X display of their
# own (scripts/run-in-wine.sh.in), by bin/dialog_screenshots.exe
# (scripts/screenshots/DialogScreenshots.cpp).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

if [ ! -f "$build/build.ninja" ]; then
    "$top/scripts/build.sh"
fi
cmake --build "$build" --target dialog_screenshots

out="$build/screenshots"
rm -rf "$out"
mkdir -p "$out"
# Wine sees the Unix file system as drive Z:.
"$build/run-in-wine.sh" "$build/bin/dialog_screenshots.exe" "Z:${out//\//\\}"
echo "screenshots in $out:"
ls "$out"
