#!/bin/bash
# One scenario of the check, inside the sandbox:
#   scenario.sh CASE_DIR CHECK TOOL HELPERS_DIR
# Installs the sibling stand-ins, runs the case's optional "setup" script (which may run the
# tool, $MAIL_RESTORE, and then change things behind its back), then runs the check,
# $MAIL_RESTORE_CHECK, with the options in the case's "options" file on the document: the
# case's "input", or what its "feed" script writes ($BASE names the shared document
# base.json), or the input (or feed) of the tool's own scenario named in "input-from";
# with the variables of the case's "env" file in its environment. An "arguments" file holds
# shell words (globs and variables expanded) that follow the options: the audit's files. A
# "stdout-filter" file holds a shell command through which the check's output is reported.
#
# Every scenario proves that the check changed nothing: the whole sandbox tree (contents,
# type, owner, mode, size, modification and change times; access times move with every
# read) and the stand-ins' call log are compared before and after. A case holding a file
# "plan-run" then pastes the plan into sh and runs the tool, each with a recording stand-in in
# postmap's place, and compares what the stand-ins recorded from both, standard input included.
#
# Every scenario's server has the mail names root open to the mail account and a main.cf
# that wires the tables (main.cf beside this script).
set -uo pipefail
case=$1
export MAIL_RESTORE_CHECK=$2 MAIL_RESTORE=$3 HELPERS=$4
here=$(cd "$(dirname "$0")" && pwd)
export BASE="$here/base.json"
source "$here/../e2e/report.sh"
readonly covered=(/var/spool/postfix/corvo /run/lock/files /opt/vca /etc/domainkeys /var/qmail
                  /etc/vca /usr/lib/corvo-9.0)

install_stand_ins "$HELPERS"
# A server as the panel sets it up: the mail names root open to the mail account, and
# Postfix's configuration wiring the tables (a private main.cf over the host's).
mkdir -p -m 0755 /var/qmail/mailnames
cat /etc/postfix/main.cf "$here/main.cf" >"$SANDBOX_SCRATCH/main.cf"
mount --bind "$SANDBOX_SCRATCH/main.cf" /etc/postfix/main.cf

from=$case
[ -f "$case/input-from" ] && from="$here/../e2e/cases/$(cat "$case/input-from")"
document() {
    if [ -f "$from/feed" ]; then
        (cd "$from" && bash ./feed)
    else
        cat "$from/input"
    fi
}

snapshot() {
    local present=() path
    for path in "${covered[@]}"; do [ -e "$path" ] && present+=("$path"); done
    find "${present[@]}" -printf '%p %y %m %U:%G %s %T@ %C@\n' | LC_ALL=C sort
    find "${present[@]}" -type f -exec md5sum {} + | LC_ALL=C sort
    echo "calls:"
    cat "$SIBLING_LOG"
}

if [ -f "$case/setup" ]; then
    (cd "$case" && bash ./setup) >"$SANDBOX_SCRATCH/setup.out" 2>&1 ||
        { echo "setup failed: $?"; cat "$SANDBOX_SCRATCH/setup.out"; }
fi
# Variables for the check's environment (settings of a postmap stand-in).
if [ -f "$case/env" ]; then
    set -a
    source "$case/env"
    set +a
fi
options=()
[ -f "$case/options" ] && read -ra options <"$case/options"
# A case holding a file "metrics" has the check write its textfile into a directory of its own.
textfile=$SANDBOX_SCRATCH/textfile/mail_restore.prom
if [ -f "$case/metrics" ]; then
    mkdir "$SANDBOX_SCRATCH/textfile"
    options+=(--metrics "$textfile")
fi
[ -f "$case/arguments" ] && eval "options+=($(cat "$case/arguments"))"

snapshot >"$SANDBOX_SCRATCH/before"
document | "$MAIL_RESTORE_CHECK" "${options[@]}" >"$SANDBOX_SCRATCH/stdout" \
    2>"$SANDBOX_SCRATCH/stderr"
status=${PIPESTATUS[1]}
snapshot >"$SANDBOX_SCRATCH/after"

# The plugin's duration and the textfile's times change from run to run.
unstable='s/duration=[0-9.]*s/duration=Ts/; s/^\(mail_restore_check_[a-z_]*seconds\) [0-9.]*$/\1 T/'
echo "exit status: $status"
# The process that holds a lock, as the check names it, differs from run to run.
holders() { sed -E 's/process [0-9]+ \(/process PID (/g' "$1"; }
echo "--- stdout"
if [ -f "$case/stdout-filter" ]; then
    holders "$SANDBOX_SCRATCH/stdout" | sed "$unstable" | bash -c "$(cat "$case/stdout-filter")"
else
    holders "$SANDBOX_SCRATCH/stdout" | sed "$unstable"
fi
echo "--- stderr"
holders "$SANDBOX_SCRATCH/stderr"
if [[ " ${options[*]} " == *" --json "* ]]; then
    python3 -c 'import json, sys; json.load(sys.stdin)' <"$SANDBOX_SCRATCH/stdout" &&
        jq -e 'type == "object" and .schema == 1' <"$SANDBOX_SCRATCH/stdout" >/dev/null &&
        LC_ALL=C grep -qv '[^ -~]' "$SANDBOX_SCRATCH/stdout" &&
        echo "--- one JSON object, with its schema, in printable ASCII"
fi
if [ -f "$case/metrics" ]; then
    echo "--- textfile"
    sed "$unstable" "$textfile"
    ls -A "$SANDBOX_SCRATCH/textfile"
    # The system's interpreter, which Debian's python3-prometheus-client serves.
    /usr/bin/python3 "$here/parse_metrics.py" "$textfile"
fi
# A document of the tool's own scenarios: refused with the very text the tool prints.
if [ "$from" != "$case" ] && grep -qF "can not parse data" "$from/expected"; then
    prefix='Fatal error: std::runtime_error(can not parse data from stdin : '
    tool_text=$(grep -F -m1 "$prefix" "$from/expected")
    check_text=$(sed -n 's/^document: refused: //p' "$SANDBOX_SCRATCH/stdout" | cat -A)
    if [ "$prefix${check_text%\$})\$" = "$tool_text" ]; then
        echo "--- the tool refuses it with the same text"
    else
        printf -- '--- the tool refuses it with another text:\n%s\n' "$tool_text"
    fi
fi
if diff -u "$SANDBOX_SCRATCH/before" "$SANDBOX_SCRATCH/after" >"$SANDBOX_SCRATCH/changes"; then
    echo "--- the check changed nothing"
else
    echo "--- the check changed this"
    cat "$SANDBOX_SCRATCH/changes"
fi

if [ -f "$case/check" ]; then
    echo "--- check"
    (cd "$case" && bash ./check)
fi

if [ -f "$case/plan-run" ]; then
    # The plan's lines pasted into sh, and then the run, each with a recording stand-in in
    # postmap's place: every program must get the same arguments and the same bytes on its
    # standard input from both.
    document | "$MAIL_RESTORE_CHECK" --plan | sed -n '/^plan:$/,/^findings: /p' | sed '1d;$d' \
        >"$SANDBOX_SCRATCH/plan.sh"
    cp "$HELPERS/sibling_stand_in" "$SANDBOX_SCRATCH/postmap-recorder"
    mount --bind "$SANDBOX_SCRATCH/postmap-recorder" /usr/sbin/postmap
    : >"$SIBLING_LOG"
    SIBLING_LOG_STDIN=1 sh "$SANDBOX_SCRATCH/plan.sh"
    echo "--- the pasted plan: exit status $?"
    mv "$SIBLING_LOG" "$SANDBOX_SCRATCH/pasted"
    : >"$SIBLING_LOG"
    document | SIBLING_LOG_STDIN=1 "$MAIL_RESTORE"
    echo "--- the run: exit status $?"
    if diff -u "$SANDBOX_SCRATCH/pasted" "$SIBLING_LOG"; then
        echo "--- the pasted plan gives each program what the run gives it ($(wc -l <"$SIBLING_LOG") lines)"
    fi
fi
