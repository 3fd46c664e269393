# Shared by the scenario runners (source it): runs one scenario script per case directory,
# each in a fresh sandbox, and compares its report with the case's "expected" file.
#
#   run_cases SCENARIO [ARG...] -- [CASE_DIR...]
# runs "tests/sandbox [--no-popuser] SCENARIO CASE_DIR ARG..." per case (--no-popuser when
# the case holds a file "no-popuser"), by default for every case beside SCENARIO; UPDATE=1
# rewrites the expected files instead. Returns 1 when a scenario's report differs.
run_cases() {
    local scenario=$1 arguments=() case name actual failed=0
    shift
    while [ "$1" != -- ]; do arguments+=("$(realpath "$1")"); shift; done
    shift
    [ $# -gt 0 ] || set -- "$(dirname "$scenario")"/cases/*/
    for case in "$@"; do
        case=$(cd "$case" && pwd)
        name=$(basename "$case")
        local options=()
        [ -e "$case/no-popuser" ] && options+=(--no-popuser)
        actual=$("$(dirname "${BASH_SOURCE[0]}")/../sandbox" "${options[@]}" "$scenario" "$case" \
            "${arguments[@]}" 2>&1)
        if [ "${UPDATE:-}" = 1 ]; then
            printf '%s\n' "$actual" >"$case/expected"
            echo "updated $name"
        elif diff -u "$case/expected" <(printf '%s\n' "$actual"); then
            echo "ok   $name"
        else
            echo "FAIL $name"
            failed=$((failed + 1))
        fi
    done
    [ "$failed" = 0 ] || { echo "$failed scenario(s) failed"; return 1; }
}
