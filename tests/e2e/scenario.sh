#!/bin/bash
# One end-to-end scenario, inside the sandbox:
#   scenario.sh CASE_DIR BINARY HELPERS_DIR
# Installs the sibling stand-ins, runs the case's optional "setup" script (which may write
# sibling rules, configuration files, keys, or run the tool once; $MAIL_RESTORE names the
# binary), runs the tool on the case's standard input, and prints the report of what
# happened.
set -uo pipefail
case=$1
export MAIL_RESTORE=$2 HELPERS=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/report.sh"

install_stand_ins "$HELPERS"
if [ -f "$case/setup" ]; then
    (cd "$case" && bash ./setup) || echo "setup failed: $?"
fi
: >"$SIBLING_LOG"

# Standard input is the case's "input", or what its "feed" script writes, or closed when the
# case holds a file "stdin-closed". A "launch" file names the hostile_start actions that the
# tool is started under (signals blocked or ignored, descriptors, file creation mask). With a
# file "system-log" in the case, the run's system log records are caught on a private
# /dev/log and shown at the end of the report.
run=("$MAIL_RESTORE")
if [ -f "$case/launch" ]; then
    read -ra actions <"$case/launch"
    run=("$HELPERS/hostile_start" "${actions[@]}" -- "$MAIL_RESTORE")
fi
[ -e "$case/system-log" ] && run=("$HELPERS/system_log_recorder" "$SANDBOX_SCRATCH/system-log" "${run[@]}")
if [ -e "$case/stdin-closed" ]; then
    "${run[@]}" <&- >"$SANDBOX_SCRATCH/stdout" 2>"$SANDBOX_SCRATCH/stderr"
    status=$?
elif [ -f "$case/feed" ]; then
    (cd "$case" && bash ./feed) |
        "${run[@]}" >"$SANDBOX_SCRATCH/stdout" 2>"$SANDBOX_SCRATCH/stderr"
    status=${PIPESTATUS[1]}
else
    "${run[@]}" <"$case/input" >"$SANDBOX_SCRATCH/stdout" 2>"$SANDBOX_SCRATCH/stderr"
    status=$?
fi
echo "exit status: $status"
# A command failure report ends with the error number the run left behind; whether the
# engine's last non-blocking read ended on EAGAIN depends on timing, so that one section
# is left out of the comparison.
visible() {
    cat -A "$1" | sed '/^Last error is\$$/{N;/\nResource temporarily unavailable\$$/d}'
}
# The process that holds a lock, as the tool names it, differs from run to run.
holders() { sed -E 's/process [0-9]+ \(/process PID (/g'; }
echo "--- stdout"
visible "$SANDBOX_SCRATCH/stdout"
echo "--- stderr"
visible "$SANDBOX_SCRATCH/stderr"
report_state
# The same for the system log records of the report's lines; a report cut short in the log
# counts the lines left out, which depends on that section too, so the count is checked by
# the case itself.
if [ -e "$case/system-log" ]; then
    echo "--- system log"
    cat -A "$SANDBOX_SCRATCH/system-log" |
        sed -E '/: Last error is\$$/{N;/: Resource temporarily unavailable\$$/d}
                s/\[\.\.\. [0-9]+ more lines\]\$$/[... N more lines]$/' | holders
fi
if [ -f "$case/check" ]; then
    echo "--- check"
    (cd "$case" && bash ./check)
fi
