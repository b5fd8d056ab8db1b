#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for the given number of seconds
# (default 60).  Any finding ends the script with a non-zero status and leaves
# the crashing input in build/fuzz/findings/.
set -euo pipefail
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/fuzz
CXX=clang++ cmake -S "$top" -B "$build" -DVELXREF_FUZZ=ON -DVELXREF_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_lines fuzz_args >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lines" "$work/args" "$build/findings"
cp "$top"/examples/* "$work/lines/"
if [ -d "$top/tests/golden" ]; then find "$top/tests/golden" -type f -size -64k -exec cp {} "$work/lines/" \; ; fi
cp "$top"/fuzz/corpus/args/* "$work/args/"

for target in lines args; do
    echo "fuzz_$target: ${seconds}s"
    "$build/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build/findings/$target-" -print_final_stats=1 "$work/$target" 2>"$work/$target.log" \
        || { tail -n 60 "$work/$target.log"; echo "fuzz_$target: FINDING"; exit 1; }
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$work/$target.log" | tail -n 2
done
echo "fuzzing: no findings"
