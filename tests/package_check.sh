#!/usr/bin/env bash
# Unpacks the Debian package of build/package/ into a scratch root and runs
# the binary found there on the shipped example: its listing must be the
# golden one.  Also checks that the Windows zip holds what it should.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deb=$(ls "$top"/build/package/velxref_*_amd64.deb)
zip=$(ls "$top"/build/package/velxref-*-win64.zip)

work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg -x "$deb" "$work/root"
[ -f "$work/root/usr/share/man/man1/velxref.1" ] || { echo "package: no man page in $deb"; exit 1; }
mkdir "$work/out"
(cd "$top/examples" && "$work/root/usr/bin/velxref" BLINK "-o$work/out" >/dev/null)
cmp "$work/out/BLINK.VXR" "$top/tests/golden/BLINK.VXR"
echo "package: $(basename "$deb") installs and lists the example"

contents=$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | grep -v '^$' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$contents" = "README.txt velxref.exe velxref.txt" ] || { echo "package: $(basename "$zip") holds $contents"; exit 1; }
echo "package: $(basename "$zip") holds $contents"
