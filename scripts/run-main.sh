#!/usr/bin/env bash
# Builds everything and shows it working under Wine: lists the classes of
# cfxview.dll, registers the storage server and the library, makes a key
# certificate and a sample storage with the "New" wizard's silent form, fills
# it with cfxtool and comments some of its items, lists it, and opens it in a
# shell window (cfxbrowse.exe, since Wine's Explorer does not open files as
# folders), writing a picture of the storage and of a folder inside it to
# build/screenshots/, then pictures of the storage file's context menu and of
# its Properties dialog, opened through the shell's "properties" verb
# (storage-menu.png, storage-properties.png). The prefix is kept in
# build/wine/main (delete it to start afresh); the sample storage is
# C:\sample\sample.demo-coffrex in it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/build.sh"
export CFX_WINE_PREFIX="$build/wine/main" CFX_NO_DISPLAY=1
wine_run() { "$build/run-in-wine.sh" "$@"; }
winepath_of() { printf 'Z:%s' "${1//\//\\}"; }

wine_run "$build/bin/cfxclasses.exe"

# A key certificate for the sample, made the way a user's key file is made.
keys="$build/sample-key"
if [ ! -f "$keys/sample.pfx" ]; then
    mkdir -p "$keys"
    python3 -B "$top/scripts/make_test_key.py" --openssl openssl --subject "Sample storage key" \
        --key "$keys/key.pem" --pfx "$keys/sample.pfx"
fi

sample_dir="$CFX_WINE_PREFIX/drive_c/sample"
mkdir -p "$sample_dir/files/Documents"
cp "$top/README.md" "$sample_dir/files/"
cp "$top/docs/"*.md "$sample_dir/files/Documents/"
mkdir -p "$sample_dir/files/Documents/Reports 2026"
printf 'Quarterly figures\n' >"$sample_dir/files/Documents/Reports 2026/Q4.txt"
printf 'Notes in a Unicode name\n' >"$sample_dir/files/Café – ünïcödé notes.txt"
cp "$keys/sample.pfx" "$sample_dir/"
rm -f "$sample_dir/sample.demo-coffrex"

tool="$build/bin/cfxtool.exe"
wine_run "$build/bin/cfxstore.exe" /RegServer
wine_run regsvr32 /s "$(winepath_of "$build/bin/cfxview.dll")"
wine_run "$tool" install 'C:\sample\sample.pfx'
wine_run "$build/bin/cfxwiz.exe" /silent --pfx 'C:\sample\sample.pfx' 'C:\sample\sample.demo-coffrex'
wine_run "$tool" put 'C:\sample\sample.demo-coffrex' 'C:\sample\files'
wine_run "$tool" attach 'C:\sample\sample.demo-coffrex' 'C:\sample\sample.pfx'
# Comments for the view's fourth column, one of them not ASCII.
wine_run "$tool" comment 'C:\sample\sample.demo-coffrex' files 'Everything the main job copied in'
wine_run "$tool" comment 'C:\sample\sample.demo-coffrex' 'files\Documents\Reports 2026' \
    'Quarterly figures – vérifiés à Zürich'
wine_run "$tool" comment 'C:\sample\sample.demo-coffrex' 'files\Documents\storage-format.md' \
    'How a storage file is laid out'
wine_run "$tool" comment 'C:\sample\sample.demo-coffrex' 'files\Café – ünïcödé notes.txt' \
    'Notes in a Unicode name'
wine_run "$tool" list 'C:\sample\sample.demo-coffrex' -r
wine_run "$tool" check 'C:\sample\sample.demo-coffrex'
wine_run "$tool" props 'C:\sample\sample.demo-coffrex'
wine_run "$tool" props 'C:\sample\sample.demo-coffrex' 'files\Documents\Reports 2026'

# The storage in a shell window: its root, then files\Documents opened by
# a double-click in the view. Under Xvfb unless CFX_SHOW=1 asks for the
# user's own display.
shots="$build/screenshots"
mkdir -p "$shots"
browse=("$build/bin/cfxbrowse.exe" 'C:\sample\sample.demo-coffrex'
        /screenshot "$(winepath_of "$shots/browse.png")"
        /open files /open Documents /screenshot "$(winepath_of "$shots/browse-documents.png")")
if [ -n "${CFX_SHOW:-}" ] && [ -n "${DISPLAY:-}" ]; then
    wine_run "${browse[@]:0:2}"
else
    env -u CFX_NO_DISPLAY "$build/run-in-wine.sh" "${browse[@]}"
fi

# The storage file itself, as the shell offers it: its context menu with the
# library's items ("Manage key" open) and the shell's Properties dialog on the
# library's "Coffrex tools" page, through the registered classes. Always under
# Xvfb: the pictures are taken from the screen.
env -u CFX_NO_DISPLAY "$build/run-in-wine.sh" "$build/bin/dialog_screenshots.exe" \
    --storage-file 'C:\sample\sample.demo-coffrex' "$(winepath_of "$shots")"
