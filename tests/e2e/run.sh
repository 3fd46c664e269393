#!/bin/bash
# End-to-end tests of the real binary: each directory under cases/ is one scenario, run in
# a fresh sandbox with real postmap and stand-in siblings (see scenario.sh). Its report
# (exit status, exact standard output and error, sibling calls, whole tables, file tree)
# must equal the scenario's "expected" file.
#
#   tests/e2e/run.sh BINARY HELPERS_DIR [CASE...]      UPDATE=1 rewrites the expected files
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/run_cases.sh"
run_cases "$here/scenario.sh" "$1" "$2" -- "${@:3}"
