#!/bin/bash
# End-to-end scenarios of mail-restore-check: each directory under cases/ is one scenario,
# run in a fresh sandbox with real postmap and stand-in siblings (see scenario.sh). Its
# report (exit status, exact output, whether the check changed anything, and for some the
# plan against the calls a run then makes) must equal the scenario's "expected" file.
#
#   tests/check/run.sh CHECK TOOL HELPERS_DIR [CASE...]      UPDATE=1 rewrites the expected files
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/run_cases.sh"
run_cases "$here/scenario.sh" "$1" "$2" "$3" -- "${@:4}"
