#!/usr/bin/env bash
# Line and branch coverage of src/ from the counters that the tests left in a
# build made with QUADFORGE_COVERAGE: the lines and the branches never run,
# per file, an HTML report per file in the build's coverage/, and a gate at
# 100%. Branch counts are the compiler's own: with a reason to skip the gate
# (third argument) the figures are printed and the test reported as skipped.
# Usage: coverage.sh SOURCE_DIR BUILD_DIR [SKIP_REASON]
set -euo pipefail
root=$1 build=$2 skip=${3:-}
out=$build/coverage

if ! find "$build" -name '*.gcda' | grep -q .; then
    if [ -n "$skip" ]; then
        echo "skipped: $skip"
        exit 0
    fi
    echo "No coverage counters in $build: no test of quadforge's code ran." >&2
    exit 1
fi
rm -rf "$out"
mkdir -p "$out"
# Kept for the command that ran the tests to print (scripts/coverage.sh).
exec > >(tee "$out/report.txt")
# Exception branches and those the compiler itself never takes are not the
# code's own.
gcovr --root "$root" --object-directory "$build" --filter "$root/src/" \
    --exclude-unreachable-branches --exclude-throw-branches --json "$out/coverage.json" "$build"
report() {
    gcovr --root "$root" --add-tracefile "$out/coverage.json" "$@"
}
if [ -n "$skip" ]; then
    report --print-summary || true
    echo "skipped: $skip"
    exit 0
fi
echo "Lines of src/ never run:"
report --txt
echo "Branches of src/ never taken:"
report --branches --txt
report --html-details "$out/index.html" --print-summary \
    --fail-under-line 100 --fail-under-branch 100 || {
    echo "Coverage of src/ is below 100%: the lines and branches above never ran." >&2
    exit 1
}
echo "HTML report: $out/index.html"
