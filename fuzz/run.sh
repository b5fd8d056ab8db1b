#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for the given number of seconds
# (default 30).  Any finding ends the script with a non-zero status and leaves
# the crashing input in build/fuzz/findings/.  The line target is seeded with
# the examples, the golden listings and 1,500 small generated programs; the
# language server's with a few editor sessions on the example and the words
# of fuzz/lsp.dict, its shorthand for long lines and messages among them.
set -euo pipefail
seconds=${1:-30}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/fuzz
CXX=clang++ cmake -S "$top" -B "$build" -DVELXREF_FUZZ=ON -DVELXREF_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_lines fuzz_args fuzz_lsp >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lines" "$work/args" "$work/lsp" "$build/findings"
cp "$top"/examples/* "$work/lines/"
if [ -d "$top/tests/golden" ]; then find "$top/tests/golden" -type f -size -64k -exec cp {} "$work/lines/" \; ; fi
cp "$top"/fuzz/corpus/args/* "$work/args/"
cp "$top"/fuzz/corpus/lsp/* "$work/lsp/"
# Small generated programs, 100 lines each, of every shape the benchmark
# knows: a short run then starts with the coverage a long one would reach.
g++ -std=c++20 -O2 -o "$work/gen_sources" "$top/bench/gen_sources.cpp"
for shape in realistic:100000 crlf:20000 ascending:20000 wide:10000; do
    "$work/gen_sources" "${shape%%:*}" "${shape#*:}" "$work/$shape.AVL"
    split -l 100 -a 4 "$work/$shape.AVL" "$work/lines/${shape%%:*}-"
    rm "$work/$shape.AVL"
done

for target in lines args lsp; do
    echo "fuzz_$target: ${seconds}s"
    words=(); [ "$target" = lsp ] && words=(-dict="$top/fuzz/lsp.dict")
    "$build/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 "${words[@]}" \
        -artifact_prefix="$build/findings/$target-" -print_final_stats=1 "$work/$target" 2>"$work/$target.log" \
        || { tail -n 60 "$work/$target.log"; echo "fuzz_$target: FINDING"; exit 1; }
    grep -E 'INITED|stat::number_of_executed_units|Done [0-9]+ runs' "$work/$target.log" | tail -n 3
done
echo "fuzzing: no findings"
