#!/usr/bin/env bash
# Builds everything and shows it working under Wine: lists the classes of
# cfxview.dll, registers the storage server, makes a key certificate and a
# sample storage with cfxtool, fills it and lists it. The prefix is kept in
# build/wine/main (delete it to start afresh); the sample storage is
# C:\sample\sample.demo-coffrex in it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CFX_BUILD_DIR:-$top/build}"

"$top/scripts/build.sh"
export CFX_WINE_PREFIX="$build/wine/main" CFX_NO_DISPLAY=1
wine_run() { "$build/run-in-wine.sh" "$@"; }

wine_run "$build/bin/cfxclasses.exe"

# A key certificate for the sample, made the way a user's key file is made.
keys="$build/sample-key"
if [ ! -f "$keys/sample.pfx" ]; then
    mkdir -p "$keys"
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Sample storage key" \
        -addext subjectKeyIdentifier=hash -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
    openssl pkcs12 -export -keyex -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 \
        -inkey "$keys/key.pem" -in "$keys/cert.pem" -passout pass: -out "$keys/sample.pfx"
fi

sample_dir="$CFX_WINE_PREFIX/drive_c/sample"
mkdir -p "$sample_dir/files/Documents"
cp "$top/README.md" "$sample_dir/files/"
cp "$top/docs/"*.md "$sample_dir/files/Documents/"
cp "$keys/sample.pfx" "$sample_dir/"
rm -f "$sample_dir/sample.demo-coffrex"

tool="$build/bin/cfxtool.exe"
wine_run "$build/bin/cfxstore.exe" /RegServer
wine_run "$tool" install 'C:\sample\sample.pfx'
wine_run "$build/bin/cfxwiz.exe" /silent --pfx 'C:\sample\sample.pfx' 'C:\sample\sample.demo-coffrex'
wine_run "$tool" put 'C:\sample\sample.demo-coffrex' 'C:\sample\files'
wine_run "$tool" attach 'C:\sample\sample.demo-coffrex' 'C:\sample\sample.pfx'
wine_run "$tool" list 'C:\sample\sample.demo-coffrex' -r
wine_run "$tool" check 'C:\sample\sample.demo-coffrex'
wine_run "$tool" props 'C:\sample\sample.demo-coffrex'
