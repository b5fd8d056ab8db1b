#!/usr/bin/env bash
# Checks the packages of build/package/ as a user would get them:
# - the Debian package passes lintian with no error and no warning, its
#   changelog is of the package's version, and the binary unpacked from it
#   lists the shipped example exactly;
# - the Windows zip holds velxref.exe, its README, the manual, the licence and
#   the example, every text file plain ASCII with CR LF line ends, and the
#   velxref.exe unpacked from it lists the zip's own example exactly under Wine;
# - the VS Code extension velxref-VERSION.vsix, beside them and in the zip,
#   is of the package's version and holds its grammar and its one package.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deb=$(ls "$top"/build/package/velxref_*_amd64.deb)
zip=$(ls "$top"/build/package/velxref-*-win64.zip)
golden=$top/tests/golden/BLINK.VXR
wine=${WINE:-/usr/lib/wine/wine64}

work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*"; exit 1; }

# lintian's exit status is 0 with warnings, so its tags are read instead.
lintian --display-info "$deb" > "$work/lintian" 2>/dev/null || true
cat "$work/lintian"
if grep -E '^[EW]: ' "$work/lintian" >/dev/null; then fail "lintian finds errors or warnings in $(basename "$deb")"; fi

dpkg -x "$deb" "$work/root"
version=$(dpkg-deb -f "$deb" Version)
for f in usr/share/man/man1/velxref.1.gz usr/share/doc/velxref/copyright usr/share/doc/velxref/changelog.gz; do
    [ -f "$work/root/$f" ] || fail "no $f in $(basename "$deb")"
done
head=$(gzip -dc "$work/root/usr/share/doc/velxref/changelog.gz" | head -n 1)
[ "$head" = "velxref ($version) unstable; urgency=medium" ] || fail "changelog starts '$head', not version $version"
mkdir "$work/out"
(cd "$top/examples" && "$work/root/usr/bin/velxref" BLINK "-o$work/out" >/dev/null)
cmp "$work/out/BLINK.VXR" "$golden"
echo "package: $(basename "$deb") is lintian-clean, installs and lists the example"

vsix=$top/build/package/velxref-$version.vsix
[ -f "$vsix" ] || fail "no velxref-$version.vsix in build/package"
mkdir "$work/vsix"
(cd "$work/vsix" && cmake -E tar xf "$vsix")
for f in extension/package.json extension/extension.js extension/syntaxes/vela-asm.tmLanguage.json \
         extension/language-configuration.json extension/node_modules/vscode-languageclient/package.json; do
    [ -f "$work/vsix/$f" ] || fail "no $f in $(basename "$vsix")"
done
grep -q "\"version\": \"$version\"" "$work/vsix/extension/package.json" || fail "$(basename "$vsix") is not of version $version"
echo "package: $(basename "$vsix") is of version $version with its grammar and its language client"

contents=$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | grep -v '^$' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$contents" = "BLINK.AVL LICENSE.txt PORTS.INC README.txt velxref-$version.vsix velxref.exe velxref.txt" ] \
    || fail "$(basename "$zip") holds $contents"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
folder=$(ls -d "$work"/zip/*/)
for f in BLINK.AVL LICENSE.txt PORTS.INC README.txt velxref.txt; do
    LC_ALL=C grep -q -P '[^\x09\x0c\x0d\x20-\x7e]' "$folder/$f" && fail "$f in the zip is not plain ASCII"
    LC_ALL=C grep -q -P '(?<!\r)$' "$folder/$f" && fail "$f in the zip has a line without CR LF"
done
# The README's first command, in the unpacked folder.
export WINEPREFIX=$top/build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
"$wine" wineboot --init >/dev/null 2>&1
(cd "$folder" && "$wine" velxref.exe BLINK >/dev/null 2>"$work/wine.log") || { cat "$work/wine.log"; fail "velxref.exe failed under Wine"; }
cmp "$folder/BLINK.VXR" "$golden"
echo "package: $(basename "$zip") holds $contents; its velxref.exe lists its example under Wine"
