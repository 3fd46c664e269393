#!/bin/bash
# End-to-end scenarios of mail-restore-check: each directory under cases/ is one scenario,
# run in a fresh sandbox with real postmap and stand-in siblings (see scenario.sh). Its
# report (exit status, exact output, whether the check changed anything, and for some the
# plan against the calls a run then makes) must equal the scenario's "expected" file.
#
#   tests/check/run.sh CHECK TOOL HELPERS_DIR [CASE...]      UPDATE=1 rewrites the expected files
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
check=$(realpath "$1")
tool=$(realpath "$2")
helpers=$(realpath "$3")
shift 3
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=("$here"/cases/*/)

failed=0
for case in "${cases[@]}"; do
    case=$(cd "$case" && pwd)
    name=$(basename "$case")
    options=()
    [ -e "$case/no-popuser" ] && options+=(--no-popuser)
    actual=$("$here/../sandbox" "${options[@]}" "$here/scenario.sh" "$case" "$check" "$tool" \
        "$helpers" 2>&1)
    if [ "${UPDATE:-}" = 1 ]; then
        printf '%s\n' "$actual" >"$case/expected"
        echo "updated $name"
    elif ! diff -u "$case/expected" <(printf '%s\n' "$actual") >"/tmp/check-$name.diff" 2>&1; then
        echo "FAIL $name"
        cat "/tmp/check-$name.diff"
        failed=$((failed + 1))
    else
        echo "ok   $name"
    fi
    rm -f "/tmp/check-$name.diff"
done
[ "$failed" = 0 ] || { echo "$failed scenario(s) failed"; exit 1; }
