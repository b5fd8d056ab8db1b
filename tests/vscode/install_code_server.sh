#!/usr/bin/env bash
# Installs code-server (VS Code in a browser, from npm) for the extension's
# tests into build/vscode/code-server-nodeN, pinned by the Node.js major
# version the machine has: tests/vscode/code-server/nodeN/package-lock.json.
# An installed copy newer than its lock file is kept, so only the first run
# downloads and builds (about 65 MB from npm, 1 to 3 minutes of native
# builds, about 300 MB on disk).
#
#   bash tests/vscode/install_code_server.sh      prints the installed folder
#
# Installing builds native modules: it needs a C++ compiler, libkrb5-dev and
# the headers of the running Node.js (under /usr/include/node: Debian's
# libnode-dev for Debian's nodejs; a Node.js from elsewhere brings its own).
# One module downloads a ripgrep binary at install time; it is given Debian's
# ripgrep through the cache file it looks for first, so nothing is fetched
# from anywhere but the npm registry.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
major=$(node -p 'process.versions.node.split(".")[0]')
version=$(node -p 'process.versions.node')
pin=$top/tests/vscode/code-server/node$major
# The @vscode/ripgrep each pin's VS Code installs, and the ripgrep release it asks for.
case $major in
  18) ripgrep_package=1.15.9 ;;
  20) ripgrep_package=1.15.11 ;;
  *) echo "vscode: code-server is pinned for Node.js 18 and 20 only (tests/vscode/code-server/); this is Node.js $version" >&2
     exit 1 ;;
esac
ripgrep_release=v13.0.0-10
dest=$top/build/vscode/code-server-node$major
if [ -x "$dest/node_modules/.bin/code-server" ] && [ "$dest/installed" -nt "$pin/package-lock.json" ]; then
  echo "$dest"
  exit 0
fi

fail() { echo "vscode: $*" >&2; exit 1; }
headers=/usr/include/node/node_version.h
[ -f "$headers" ] || fail "no Node.js headers in /usr/include/node (Debian's nodejs: apt-get install libnode-dev)"
header_major=$(sed -n 's/^#define NODE_MAJOR_VERSION \([0-9]*\).*/\1/p' "$headers")
[ "$header_major" = "$major" ] || fail "the headers in /usr/include/node are of Node.js $header_major, not $version"
[ -f /usr/include/gssapi/gssapi.h ] || fail "no Kerberos headers (apt-get install libkrb5-dev)"
rg=$(command -v rg) || fail "no ripgrep (apt-get install ripgrep)"

rm -rf "$dest"
mkdir -p "$dest/tmp"
cp "$pin/package.json" "$pin/package-lock.json" "$dest/"
# The ripgrep binary, where @vscode/ripgrep looks before it downloads.
cache=$dest/tmp/vscode-ripgrep-cache-$ripgrep_package
mkdir -p "$cache/rg"
cp "$rg" "$cache/rg/rg"
tar czf "$cache/ripgrep-$ripgrep_release-x86_64-unknown-linux-musl.tar.gz" -C "$cache/rg" rg

echo "vscode: installing code-server for Node.js $version into $dest (first run only: a few minutes)" >&2
start=$(date +%s)
(
  cd "$dest"
  export TMPDIR=$dest/tmp HOME=$dest/tmp
  export npm_config_cache=$top/build/vscode/npm-cache npm_config_nodedir=/usr
  export npm_config_yes=true npm_config_unsafe_perm=true npm_config_audit=false npm_config_fund=false
  export npm_config_update_notifier=false
  # Native modules are built here, never fetched prebuilt from elsewhere.
  export npm_config_build_from_source=true
  # One module of VS Code 1.89 does not compile against Node.js 18's headers without it.
  [ "$major" != 18 ] || export CXXFLAGS=-fpermissive
  nice npm ci --foreground-scripts >"$dest/install.log" 2>&1
) || { tail -n 40 "$dest/install.log" >&2; fail "installing code-server failed (whole log: $dest/install.log)"; }
[ -x "$dest/node_modules/.bin/code-server" ] || fail "code-server installed no program"
rm -rf "$dest/tmp"
touch "$dest/installed"
echo "vscode: code-server installed in $(( $(date +%s) - start )) s, $(du -sm "$dest" | cut -f1) MB" >&2
echo "$dest"
