#!/usr/bin/env bash
# The VS Code extension: its grammar tokenized in plain Node.js
# (grammar_test.mjs), then the extension packaged, installed into code-server
# (VS Code from npm, pinned by the Node.js major version) and used in
# headless Chromium on a copy of the example (vscode_test.mjs), which leaves a
# screenshot in build/vscode/BLINK.png.
#
#   bash tests/vscode/run.sh [BUILD_DIR]     (default build/debug)
#
# code-server keeps its settings, state and logs in a scratch folder (HOME,
# XDG_*, TMPDIR) and listens on 127.0.0.1 only.  VS Code's server takes the
# PATH of its extensions from a login shell, not from the process that
# started it, so velxref is put where the extension looks next, as the
# README's install under the home directory puts it: ~/.local/bin.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build/debug}" && pwd)
cd "$top/tests/vscode"
# The grammar engine and the browser driver, exactly as the lock file pins them.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund
timeout 120 node --test grammar_test.mjs

version=$(sed -n 's/^project(velxref VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "vscode: no version in CMakeLists.txt's project()"; exit 1; }
vsix=$top/build/vscode/velxref-$version.vsix
timeout 600 bash "$top/editors/vscode/build_vsix.sh" "$version" "$vsix"
code_server=$(timeout 1200 bash install_code_server.sh)/node_modules/.bin/code-server

work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-vscode-XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/tmp" "$work/workspace"
cp "$top/examples/BLINK.AVL" "$top/examples/PORTS.INC" "$work/workspace/"
printf '\t.INCLUDE NOPE.INC\n' > "$work/workspace/MISS.AVL"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
       XDG_CACHE_HOME=$work/home/.cache XDG_STATE_HOME=$work/home/.local/state TMPDIR=$work/tmp
mkdir -p "$HOME/.local/bin"
ln -s "$build/velxref" "$HOME/.local/bin/velxref"
dirs=(--user-data-dir "$work/data" --extensions-dir "$work/extensions")
timeout 120 "$code_server" "${dirs[@]}" --install-extension "$vsix" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; echo "vscode: code-server did not install $vsix"; exit 1; }
# The user's settings: no welcome page, no trust prompt, nothing fetched; and
# no brackets, quotes or indentation added to what the test types into them.
mkdir -p "$work/data/User"
cat > "$work/data/User/settings.json" <<'JSON'
{
  "editor.autoClosingBrackets": "never",
  "editor.autoClosingQuotes": "never",
  "editor.autoSurround": "never",
  "editor.autoIndent": "none",
  "workbench.startupEditor": "none",
  "workbench.tips.enabled": false,
  "security.workspace.trust.enabled": false,
  "extensions.autoCheckUpdates": false,
  "extensions.autoUpdate": false,
  "update.mode": "none",
  "telemetry.telemetryLevel": "off",
  "workbench.enableExperiments": false,
  "chat.commandCenter.enabled": false,
  "git.enabled": false
}
JSON

# A free port on 127.0.0.1, and code-server on it.
for attempt in 1 2 3; do
  port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); })')
  "$code_server" "${dirs[@]}" --bind-addr "127.0.0.1:$port" --auth none --disable-telemetry \
      --disable-update-check --disable-workspace-trust --disable-getting-started-override \
      --ignore-last-opened "$work/workspace" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 120); do
    if node -e 'require("http").get(process.argv[1], (r) => process.exit(r.statusCode === 200 ? 0 : 1)).on("error", () => process.exit(1))' \
         "http://127.0.0.1:$port/healthz"; then break 2; fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.5
  done
  kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; server_pid=
  echo "# code-server did not answer on port $port (attempt $attempt):"; tail -n 20 "$work/server.log"
  [ "$attempt" -lt 3 ] || { echo "vscode: code-server did not start"; exit 1; }
done
echo "# $("$code_server" --version | head -1) on 127.0.0.1:$port, Node.js $(node -v)"
mkdir -p "$top/build/vscode"
URL=http://127.0.0.1:$port WORKSPACE=$work/workspace SETTINGS=$work/data/User/settings.json \
  SCREENSHOT=$top/build/vscode/BLINK.png \
  timeout 600 node vscode_test.mjs \
  || { echo "# code-server's log:"; tail -n 40 "$work/server.log"
       find "$work/data/logs" -name '*velxref*' -exec sh -c 'echo "# $1:"; tail -n 40 "$1"' _ {} \; 2>/dev/null
       exit 1; }
