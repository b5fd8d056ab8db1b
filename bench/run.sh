#!/usr/bin/env bash
# The benchmark: builds a Release velxref, generates the inputs into a scratch
# directory, times every case against `LC_ALL=C wc -w` on the same file, and
# checks the targets.  Exits 1 when a target is missed.
#
#   bench/run.sh              all cases, 5 runs each, then the language server's
#   REPS=9 bench/run.sh       more runs
#   VELXREF_BENCH_DIR=DIR     scratch directory (default ${TMPDIR:-/tmp}/velxref-bench)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${VELXREF_BENCH_DIR:-${TMPDIR:-/tmp}/velxref-bench}
reps=${REPS:-5}
build=$root/build/bench

echo "building Release binary in $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELXREF_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
velxref=$build/velxref

mkdir -p "$scratch/out" "$scratch/tools"
g++ -std=c++20 -O2 -o "$scratch/tools/gen_sources" "$root/bench/gen_sources.cpp"
g++ -std=c++20 -O2 -o "$scratch/tools/timed_run" "$root/bench/timed_run.cpp"
g++ -std=c++20 -O2 -o "$scratch/tools/lsp_bench" "$root/bench/lsp_bench.cpp"
timer=$scratch/tools/timed_run

# name, generator case, lines
cases=(
    "realistic realistic 1000000"
    "html realistic 1000000 --html"
    "ascending ascending 1000000"
    "hot hot 1000000"
    "wide wide 1000000"
    "crlf crlf 1000000"
    "scale100k realistic 100000"
    "scale3M realistic 3000000"
)

# Inputs are made again only when the generator changed.
stamp=$(cksum < "$root/bench/gen_sources.cpp" | cut -d' ' -f1)
for c in "${cases[@]}"; do
    read -r name kind lines _ <<<"$c"
    file=$scratch/$name.AVL
    [ "$name" = html ] && continue   # the realistic source, with the page
    if [ ! -f "$file" ] || [ "$(cat "$file.stamp" 2>/dev/null)" != "$stamp" ]; then
        echo "generating $name ($lines lines)" >&2
        "$scratch/tools/gen_sources" "$kind" "$lines" "$file"
        echo "$stamp" > "$file.stamp"
    fi
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

cd "$scratch"
results=$scratch/results.txt
: > "$results"
for c in "${cases[@]}"; do
    read -r name kind lines flags <<<"$c"
    file=$name.AVL
    [ "$name" = html ] && file=realistic.AVL
    bytes=$(wc -c < "$file")
    nlines=$(wc -l < "$file")
    # One unmeasured run of each warms the page cache and checks the status.
    read -r _ _ status _ < <("$timer" "$velxref" $flags "$file" -oout)
    if [ "$status" != 0 ]; then echo "velxref failed on $file with status $status" >&2; exit 2; fi
    LC_ALL=C "$timer" wc -w "$file" >/dev/null
    vt=() wt=() vc=() wc=() rss=()
    for ((i = 0; i < reps; ++i)); do
        read -r t m _ c < <("$timer" "$velxref" $flags "$file" -oout)
        vt+=("$t") vc+=("$c") rss+=("$m")
        read -r t _ _ c < <(LC_ALL=C "$timer" wc -w "$file")
        wt+=("$t") wc+=("$c")
    done
    v=$(printf '%s\n' "${vt[@]}" | median)
    w=$(printf '%s\n' "${wt[@]}" | median)
    cv=$(printf '%s\n' "${vc[@]}" | median)
    cw=$(printf '%s\n' "${wc[@]}" | median)
    m=$(printf '%s\n' "${rss[@]}" | sort -g | tail -1)
    echo "$name $bytes $nlines $v $w $m $cv $cw" >> "$results"
done

echo
awk -v reps="$reps" '
BEGIN {
    printf "%-10s %11s %9s %9s %9s %6s %9s %7s %10s %9s\n", "case", "bytes", "lines", "velxref s", "wc -w s", "ratio", "peak MiB", "MB/s", "lines/s", "CPU ratio"
}
{
    printf "%-10s %11d %9d %9.4f %9.4f %6.2f %9.1f %7.1f %10.0f %9.2f\n", $1, $2, $3, $4, $5, $4 / $5, $6 / 1024, $2 / $4 / 1e6, $3 / $4, $7 / $8
}
END {
    printf "(wall times are medians of %d runs each, velxref and wc -w taking turns; peak RSS is\n", reps
    print " the largest of them; CPU ratio compares the medians of user plus system time)"
}
' "$results"

echo
awk '
{ bytes[$1] = $2; lines[$1] = $3; t[$1] = $4; w[$1] = $5; rss[$1] = $6 }
function check(what, value, limit, unit) {
    verdict = value <= limit ? "holds" : "MISSED"
    if (value > limit) missed++
    printf "%-44s %8.2f%s  (target <= %s%s)  %s\n", what, value, unit, limit, unit, verdict
}
END {
    check("realistic / wc -w", t["realistic"] / w["realistic"], 0.9, "x")
    per = t["realistic"] / bytes["realistic"]
    n = split("ascending hot wide crlf", others, " ")
    for (i = 1; i <= n; i++)
        check(others[i] " per byte / realistic per byte", (t[others[i]] / bytes[others[i]]) / per, 1.3, "x")
    up = (t["scale3M"] / lines["scale3M"]) / (t["scale100k"] / lines["scale100k"])
    check("per line, 3M lines / 100k lines", up, 1.2, "x")
    printf "%-44s %8.2fx  (for information: the small run carries the start-up cost)\n", "per line, 100k lines / 3M lines", 1 / up
    check("peak RSS realistic", rss["realistic"] / 1024, 32, " MiB")
    check("peak RSS hot", rss["hot"] / 1024, 24, " MiB")
    check("--html time / realistic time", t["html"] / t["realistic"], 3, "x")
    check("--html peak RSS", rss["html"] / 1024, int((bytes["realistic"] / 1024 + 2 * rss["realistic"]) / 1024), " MiB")
    if (missed) { printf "%d target(s) missed\n", missed; exit 1 }
    print "every target holds"
}
' "$results" || missed_any=1

# The language server (--lsp), against a command-line run of the same
# program: an editor's session (lsp_bench) on the 40,000-line program over
# 140 include files, editing one include; on the 1,000,000-line realistic
# source and on a 38,702-line source that writes its numbers 0x3F (whose x3F
# the listing lists, and the server must not flood the editor with), editing
# the source itself.  A request is timed until its answer has been read off
# the pipe, not parsed (the server's part).  name, generator case, lines,
# document edited, edits per session.
server_cases=(
    "includes includes 40000 PART070.INC 40"
    "realistic realistic 1000000 realistic.AVL 4"
    "hex0x hex0x 38702 realistic.AVL 10"
)
server_results=$scratch/server.txt
: > "$server_results"
for c in "${server_cases[@]}"; do
    read -r name kind lines document edits <<<"$c"
    dir=$scratch/server-$name
    source=$(echo "$name" | tr a-z A-Z).AVL
    mkdir -p "$dir/out"
    if [ ! -f "$dir/$source" ] || [ "$(cat "$dir/$source.stamp" 2>/dev/null)" != "$stamp" ]; then
        echo "generating server case $name ($lines lines)" >&2
        "$scratch/tools/gen_sources" "$kind" "$lines" "$dir/$source"
        echo "$stamp" > "$dir/$source.stamp"
    fi
    [ "$document" = realistic.AVL ] && document=$source
    ct=() cc=() cm=() st=() sc=() sd=() sr=() sh=() sm=() sk=() sf=() sl=() sy=()
    for ((i = 0; i < reps; ++i)); do
        read -r t m _ cpu < <(cd "$dir" && "$timer" "$velxref" "$source" -oout)
        ct+=("$t") cc+=("$cpu") cm+=("$m")
        read -r _ edit def refs hover peak edit_cpu tokens folds links calls < <("$scratch/tools/lsp_bench" "$velxref" "$dir" "$source" "$document" "$edits")
        st+=("$edit") sc+=("$edit_cpu") sd+=("$def") sr+=("$refs") sh+=("$hover") sm+=("$peak")
        sk+=("$tokens") sf+=("$folds") sl+=("$links") sy+=("$calls")
    done
    echo "$name $lines $(printf '%s\n' "${ct[@]}" | median) $(printf '%s\n' "${cc[@]}" | median)" \
         "$(printf '%s\n' "${cm[@]}" | sort -g | tail -1) $(printf '%s\n' "${st[@]}" | median)" \
         "$(printf '%s\n' "${sc[@]}" | median) $(printf '%s\n' "${sd[@]}" | median) $(printf '%s\n' "${sr[@]}" | median)" \
         "$(printf '%s\n' "${sh[@]}" | median) $(printf '%s\n' "${sm[@]}" | sort -g | tail -1)" \
         "$(printf '%s\n' "${sk[@]}" | median) $(printf '%s\n' "${sf[@]}" | median)" \
         "$(printf '%s\n' "${sl[@]}" | median) $(printf '%s\n' "${sy[@]}" | median)" >> "$server_results"
done

echo
awk -v reps="$reps" '
BEGIN {
    printf "%-10s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s\n", "server", "lines", "run s", "run CPU", "run MiB", "edit s", "edit CPU", "def ms", "refs ms", "hover ms", "peak MiB"
}
{
    printf "%-10s %8d %8.4f %8.4f %8.1f %8.4f %8.4f %8.3f %8.3f %8.3f %8.1f\n", $1, $2, $3, $4, $5 / 1024, $6, $7, $8 * 1000, $9 * 1000, $10 * 1000, $11 / 1024
}
{
    more = more sprintf("%-10s %8d %10.3f %10.3f %10.3f %10.3f\n", $1, $2, $12 * 1000, $13 * 1000, $14 * 1000, $15 * 1000)
}
END {
    printf "\n%-10s %8s %10s %10s %10s %10s\n%s", "server", "lines", "tokens ms", "folds ms", "links ms", "calls ms", more
    printf "(medians of %d runs: a command-line run of the program, and a session of the server:\n", reps
    print " the median edit until its diagnostics, the median definition, references and hover;"
    print " peak RSS the largest of the runs)"
}
' "$server_results"

echo
awk '
function check(what, value, limit, unit) {
    verdict = value <= limit ? "holds" : "MISSED"
    if (value > limit) missed++
    printf "%-44s %8.2f%s  (target <= %s%s)  %s\n", what, value, unit, limit, unit, verdict
}
{
    check($1 " edit / command-line run", $6 / $3, $1 == "hex0x" ? 3 : 1.5, "x")
    if ($1 == "includes") check($1 " edit, 141 files", $6 * 1000, 50, " ms")
    check($1 " definition / command-line run", $8 / $3, 0.1, "x")
    check($1 " references / command-line run", $9 / $3, 0.1, "x")
    check($1 " hover / command-line run", $10 / $3, 0.1, "x")
    check($1 " server peak RSS / command-line run", $11 / $5, 3, "x")
    if ($1 == "hex0x") check($1 " semantic tokens, 38,702 lines", $12 * 1000, 50, " ms")
    check($1 " include links", $14 * 1000, 5, " ms")
    check($1 " call hierarchy step", $15 * 1000, 5, " ms")
}
END {
    if (missed) { printf "%d server target(s) missed\n", missed; exit 1 }
    print "every server target holds"
}
' "$server_results" || missed_any=1

# The server's project scan, alone (scan_bench, linked with the program's
# objects), and a whole start-up (the scan, then every program found
# analysed) on a tree of 10,000 source files in 100 programs, none named.
tree=$scratch/tree
if [ ! -d "$tree" ] || [ "$(cat "$scratch/tree.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "generating the tree (10,000 files)" >&2
    rm -rf "$tree" && mkdir -p "$tree"
    "$scratch/tools/gen_sources" tree 10000 "$tree"
    echo "$stamp" > "$scratch/tree.stamp"
fi
g++ -std=c++20 -O2 -I"$root" -DVELXREF_VERSION='"bench"' -o "$scratch/tools/scan_bench" "$root/bench/scan_bench.cpp" \
    $(find "$build/CMakeFiles/velxref_objects.dir" -name '*.o')
read -r files mains scan < <("$scratch/tools/scan_bench" "$tree" "$reps")
read -r startup _ < <("$scratch/tools/lsp_bench" "$velxref" "$tree" - prog000/inc/part0000.inc 2)
echo
printf "%-44s %8d files, %d main sources\n" "project scan" "$files" "$mains"
awk -v scan="$scan" -v startup="$startup" 'BEGIN {
    verdict = scan <= 1 ? "holds" : "MISSED"
    printf "%-44s %8.3f s  (target <= 1 s)  %s\n", "project scan of the 10,000-file tree", scan, verdict
    printf "%-44s %8.3f s  (for information: every program analysed too)\n", "start-up on that tree", startup
    exit scan <= 1 ? 0 : 1
}' || missed_any=1
exit "${missed_any:-0}"
