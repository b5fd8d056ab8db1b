#!/usr/bin/env bash
# The page of --html in a browser: builds a Release velxref (or takes
# VELXREF), writes the pages of generated programs into a scratch directory
# and measures each in headless chromium with bench/page_bench.mjs (load
# event, following a link, peak renderer memory, printing to PDF).  Run by
# hand; not part of make test.  Needs tests/page's npm packages (npm ci).
#
#   bench/page.sh                       realistic 40,000 and 200,000 lines, includes 40,000
#   PAGE_CASES="realistic:40000" bench/page.sh
#   VELXREF=/path/to/velxref            measure that binary's pages (say, main's, for a before)
#   VELXREF_BENCH_DIR=DIR               scratch directory (default ${TMPDIR:-/tmp}/velxref-bench)
#   LOAD_BOUND, PRINT_BOUND (s), MEMORY_BOUND (MiB), RESULTS_JSON: see page_bench.mjs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${VELXREF_BENCH_DIR:-${TMPDIR:-/tmp}/velxref-bench}
cases=${PAGE_CASES:-realistic:40000 realistic:200000 includes:40000}

if [ -z "${VELXREF:-}" ]; then
    echo "building Release binary in $root/build/bench" >&2
    cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DVELXREF_TESTS=OFF >/dev/null
    cmake --build "$root/build/bench" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
    VELXREF=$root/build/bench/velxref
fi
VELXREF=$(cd "$(dirname "$VELXREF")" && pwd)/$(basename "$VELXREF")
[ -d "$root/tests/page/node_modules/playwright-core" ] || (cd "$root/tests/page" && npm ci --no-audit --no-fund)

mkdir -p "$scratch/tools"
g++ -std=c++20 -O2 -o "$scratch/tools/gen_sources" "$root/bench/gen_sources.cpp"
pages=()
for c in $cases; do
    kind=${c%%:*} lines=${c##*:}
    dir=$scratch/page-$kind-$lines
    mkdir -p "$dir"
    # The includes case writes its include files beside the source; velxref
    # runs there, since include names are taken relative to the working directory.
    (cd "$dir" && "$scratch/tools/gen_sources" "$kind" "$lines" "$kind.AVL" &&
        "$VELXREF" --html "$kind.AVL" >/dev/null)
    pages+=("$kind-$lines=$dir/$kind.html")
done
node "$root/bench/page_bench.mjs" "${pages[@]}"
