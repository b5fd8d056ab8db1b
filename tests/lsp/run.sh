#!/usr/bin/env bash
# The language server (velxref --lsp) with real clients: the protocol tests
# through the protocol library (protocol_test.mjs), Neovim's own client
# (nvim_test.lua) and Emacs' eglot (emacs_test.el), each on the example.
#
#   bash tests/lsp/run.sh [BUILD_DIR]            (default build/debug)
#   bash tests/lsp/run.sh --wine PROGRAM.exe     one round trip under Wine
#                                                ($WINE, default /usr/lib/wine/wine64)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${1:-}" = --wine ]; then
  exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
else
  build=$(cd "${1:-$top/build/debug}" && pwd)
fi
cd "$top/tests/lsp"
# The protocol library, exactly as the lock file pins it.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund

if [ -n "${exe:-}" ]; then
  VELXREF=$exe VELXREF_RUNNER=${WINE:-/usr/lib/wine/wine64} timeout 300 node --test round_trip_test.mjs
  exit
fi

export VELXREF=$build/velxref
work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-lsp-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Every client is bounded in time: none can hang the run.
timeout 300 node --test protocol_test.mjs round_trip_test.mjs

# The editors run with the README's configurations, which start velxref from
# PATH, and keep their state and logs in the scratch directory.
readme_block() {   # the first block of language $1 in the README's "In your editor"
  awk -v lang="$1" '/^## /{on = ($0 == "## In your editor")} on && $0 == "```" lang {take = 1; next}
                    take && /^```/ {exit} take' "$top/README.md"
}
readme_block lua > "$work/init.lua"
readme_block elisp > "$work/init.el"
[ -s "$work/init.lua" ] && [ -s "$work/init.el" ] || { echo "README: no Neovim or Emacs configuration under \"In your editor\""; exit 1; }
export PATH=$build:$PATH HOME=$work XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state \
       XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data

# A program as real trees keep it, under version control, its include in a
# subfolder; the editors open the include first.
mkdir -p "$work/tree/.git" "$work/tree/prog/inc"
printf '\t.INCLUDE inc/io.inc\nSTART:\tJSR\tGETC\n\tJMP\tSTART\n' > "$work/tree/prog/main.s"
printf 'GETC:\tLDA\t$C0\n\tRTS\n' > "$work/tree/prog/inc/io.inc"
export TREE=$work/tree

echo "# Neovim: $(nvim --version | head -1)"
mkdir -p "$work/examples"   # outside the source tree, whose .git would make it the project
cp "$top/examples/BLINK.AVL" "$top/examples/PORTS.INC" "$work/examples/"
EXAMPLES=$work/examples timeout 120 nvim --headless -i NONE -u "$work/init.lua" -c 'luafile nvim_test.lua'

echo "# Emacs $(emacs --version | head -1 | cut -d' ' -f3) with eglot"
mkdir -p "$work/emacs"
cp "$top/examples/BLINK.AVL" "$top/examples/PORTS.INC" "$work/emacs/"
printf '\t.INCLUDE NOPE.INC\n' > "$work/emacs/MISS.AVL"
INIT=$work/init.el WORKSPACE=$work/emacs timeout 120 emacs --batch -l "$top/tests/lsp/emacs_test.el"
