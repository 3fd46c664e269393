#!/bin/bash
# End-to-end tests of the real binary: each directory under cases/ is one scenario, run in
# a fresh sandbox with real postmap and stand-in siblings (see scenario.sh). Its report
# (exit status, exact standard output and error, sibling calls, whole tables, file tree)
# must equal the scenario's "expected" file.
#
#   tests/e2e/run.sh BINARY HELPERS_DIR [CASE...]      UPDATE=1 rewrites the expected files
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=$(realpath "$1")
helpers=$(realpath "$2")
shift 2
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=("$here"/cases/*/)

failed=0
for case in "${cases[@]}"; do
    case=$(cd "$case" && pwd)
    name=$(basename "$case")
    options=()
    [ -e "$case/no-popuser" ] && options+=(--no-popuser)
    actual=$("$here/../sandbox" "${options[@]}" "$here/scenario.sh" "$case" "$binary" "$helpers" 2>&1)
    if [ "${UPDATE:-}" = 1 ]; then
        printf '%s\n' "$actual" >"$case/expected"
        echo "updated $name"
    elif ! diff -u "$case/expected" <(printf '%s\n' "$actual") >"/tmp/e2e-$name.diff" 2>&1; then
        echo "FAIL $name"
        cat "/tmp/e2e-$name.diff"
        failed=$((failed + 1))
    else
        echo "ok   $name"
    fi
    rm -f "/tmp/e2e-$name.diff"
done
[ "$failed" = 0 ] || { echo "$failed scenario(s) failed"; exit 1; }
