#!/usr/bin/env bash
# Packages the VS Code extension of this folder as a .vsix, with the version
# given (the program's own), its one run-time package (vscode-languageclient)
# inside and the licence beside it.  The packages come from package-lock.json,
# installed once into build/vscode/extension (again when the lock file is
# newer), with no install scripts: the extension installs no binary.
#
#   bash editors/vscode/build_vsix.sh VERSION OUTPUT.vsix
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: build_vsix.sh VERSION OUTPUT.vsix" >&2; exit 2; }
version=$1
out=$(mkdir -p "$(dirname "$2")" && cd "$(dirname "$2")" && pwd)/$(basename "$2")
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
stage=$top/build/vscode/extension
mkdir -p "$stage"
cp "$here/package-lock.json" "$stage/"
if ! [ "$stage/node_modules/.package-lock.json" -nt "$here/package-lock.json" ]; then
  (cd "$stage" && cp "$here/package.json" . &&
   npm ci --ignore-scripts --omit=optional --no-audit --no-fund --loglevel=error >/dev/null) \
    || { echo "vsix: npm ci failed in $stage" >&2; exit 1; }
fi
rm -rf "$stage/syntaxes"
cp -r "$here/syntaxes" "$stage/"
cp "$here/extension.js" "$here/language-configuration.json" "$here/README.md" "$here/.vscodeignore" "$stage/"
cp "$top/LICENSE" "$stage/LICENSE"
# The manifest with the program's version.
node -e '
  const fs = require("fs");
  const manifest = JSON.parse(fs.readFileSync(process.argv[1] + "/package.json", "utf8"));
  manifest.version = process.argv[2];
  fs.writeFileSync(process.argv[3] + "/package.json", JSON.stringify(manifest, null, 2) + "\n");
' "$here" "$version" "$stage"
rm -f "$out"
(cd "$stage" && node node_modules/@vscode/vsce/vsce package --allow-missing-repository --out "$out" </dev/null) \
  >"$stage/vsce.log" 2>&1 || { cat "$stage/vsce.log" >&2; echo "vsix: packaging failed" >&2; exit 1; }
[ -s "$out" ] || { echo "vsix: no $out" >&2; exit 1; }
echo "vsix: $out ($(( $(wc -c < "$out") / 1024 )) KB)"
