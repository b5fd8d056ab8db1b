#!/usr/bin/env bash
# The page checks: the end-to-end suite again with every run also writing its
# page (--html), each page kept and read by check_page.mjs; then the
# example's page, worked out by hand and in headless Chromium, which leaves a
# screenshot in build/page/BLINK.png.
#
#   bash tests/page/run.sh [BUILD_DIR]     (default build/debug)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build/debug}" && pwd)
cd "$top/tests/page"
# The parser and the browser driver, exactly as the lock file pins them.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund
work=$(mktemp -d "${TMPDIR:-/tmp}/velxref-pages-XXXXXX")
trap 'rm -rf "$work"' EXIT
VELXREF_PAGES=$work "$build/e2e_tests" --gtest_brief=1
node check_page.mjs --runs "$work"
VELXREF=$build/velxref SCREENSHOT=$top/build/page/BLINK.png node --test page_test.mjs
