#!/usr/bin/env bash
# Runs the built binary under valgrind over a few representative inputs: the
# shipped example, includes nested to the limit, over-long and odd lines,
# large symbol tables, several sources in one run, and the fatal endings.
# A run that completes must show no memory error and no leak; a fatal run
# may end with memory still held, so there only memory errors count.
#
#   tests/valgrind.sh [path/to/velxref]     (default: build/debug/velxref)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$top/build/debug/velxref}")
[ -x "$binary" ] || { echo "no binary at $binary (build it first: make debug)"; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-valgrind-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME EXPECTED-STATUS LEAKS(yes|no) DIR ARGS...: runs the binary in DIR.
# Valgrind's own error status is 99, so it cannot be taken for the program's.
check() {
    local name=$1 expected=$2 leaks=$3 dir=$4
    shift 4
    local kinds=definite,indirect,possible,reachable
    [ "$leaks" = yes ] || kinds=none
    local status=0
    (cd "$dir" && valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds="$kinds" --log-file="$work/$name.log" "$binary" "$@" >"$work/$name.out") \
        || status=$?
    if [ "$status" -ne "$expected" ]; then
        echo "FAIL $name: status $status, expected $expected"
        cat "$work/$name.log"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

# The shipped example, exactly as the README runs it, against its golden listing.
mkdir -p "$work/example"
if (cd "$top/examples" && valgrind -q --error-exitcode=1 --leak-check=full \
        --log-file="$work/example.log" "$binary" BLINK "-o$work/example" >/dev/null) &&
    cmp -s "$work/example/BLINK.VXR" "$top/tests/golden/BLINK.VXR"; then
    echo "ok   example"
else
    echo "FAIL example"
    cat "$work/example.log"
    failures=$((failures + 1))
fi

src=$work/src
mkdir -p "$src" "$work/out"
cd "$src"
# An include that includes itself: four levels, then a nesting error (status 1).
printf '\t.INCLUDE SELF.INC\nIN\n' >SELF.INC
printf 'TOP:\tJSR\tSUB\n\t.INCLUDE SELF.INC\n\t.INCLUDE MISSING.INC\n' >NEST.AVL
# Over-long lines, CR, NUL and 0x1A inside lines, a last line without LF.
{
    awk 'BEGIN { for (i = 0; i < 600; i++) printf "L"; print "" }'
    printf 'A\r\r\nB\000C\nD\032E\n'
    awk 'BEGIN { for (i = 0; i < 510; i++) printf "L" }'
} >ODD.AVL
# Many distinct symbols, and one symbol on many lines (wrapped, paginated).
awk 'BEGIN { for (i = 0; i < 20000; i++) printf "S%05d\tLDA\tS%05d,X\n", i, 19999 - i }' >MANY.AVL
awk 'BEGIN { for (i = 0; i < 3000; i++) print "\t.WORD\tCNT,CNT,CNT,CNT" }' >ONE.AVL
printf '' >EMPTY.AVL

check includes 1 yes "$src" NEST
check odd-lines 0 yes "$src" ODD
check several-sources 0 yes "$src" MANY ONE EMPTY "-o$work/out\\"
check usage 2 no "$src"
check missing-source 3 no "$src" EMPTY NOWHERE
ln -s /dev/full FULL.VXR
cp ONE.AVL FULL.AVL
check disk-full 3 no "$src" FULL

if [ "$failures" -ne 0 ]; then
    echo "valgrind: $failures failing run(s)"
    exit 1
fi
echo "valgrind: no errors, no leaks"
