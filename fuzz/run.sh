#!/bin/bash
# Runs fuzz targets for a bounded time each; fails on any crash, leak, time-out or
# sanitizer report:
#
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]      (all targets when none is named)
#
# A target keeps its growing corpus in BUILD_DIR/corpus/TARGET and starts from the seeds in
# fuzz/seeds/TARGET; the document target also from the example document, every end-to-end
# input and the JSON parsing corpus in tests/data/jsontestsuite. Its output goes to
# BUILD_DIR/logs/TARGET.log, an input that failed to BUILD_DIR/logs/TARGET-crash-... etc.
# FUZZ_TIMEOUT (seconds, default 10) is how long one input may run before it counts as a hang.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(realpath "$1")
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(document postmap_output vca_conf ini_file quoting)

failed=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target seeds=$build/seeds/$target log=$build/logs/$target.log
    rm -rf "$seeds"
    mkdir -p "$corpus" "$seeds" "$build/logs"
    cp "$here/seeds/$target"/* "$seeds/" 2>/dev/null
    options=(-max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-10}" -rss_limit_mb=2048
             -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/logs/$target-")
    if [ "$target" = document ]; then
        cp "$root/examples/domain.json" "$seeds/"
        for input in "$root"/tests/e2e/cases/*/input; do
            cp "$input" "$seeds/$(basename "$(dirname "$input")")"
        done
        cp "$root"/tests/data/jsontestsuite/test_parsing/* "$seeds/"
        options+=(-dict="$here/document.dict")
    fi
    if "$build/fuzz_$target" "${options[@]}" "$corpus" "$seeds" >"$log" 2>&1; then
        echo "ok   $target: $(grep -o 'DONE *cov: .*' "$log" | tail -1)," \
             "$(grep -o 'number_of_executed_units: [0-9]*' "$log") executions"
    else
        echo "FAIL $target (see $log)"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log"
        failed=$((failed + 1))
    fi
done
[ "$failed" = 0 ] || { echo "$failed fuzz target(s) failed"; exit 1; }
