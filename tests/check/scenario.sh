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
# "plan-run" then runs the tool with a recording stand-in in postmap's place and compares
# the plan's calls, standard input included, with what the stand-ins recorded.
set -uo pipefail
case=$1
export MAIL_RESTORE_CHECK=$2 MAIL_RESTORE=$3 HELPERS=$4
here=$(cd "$(dirname "$0")" && pwd)
export BASE="$here/base.json"
source "$here/../e2e/report.sh"
readonly covered=(/var/spool/postfix/corvo /run/lock/files /opt/vca /etc/domainkeys /var/qmail
                  /etc/vca /usr/lib/corvo-9.0)

install_stand_ins "$HELPERS"

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
    find "${covered[@]}" -printf '%p %y %m %U:%G %s %T@ %C@\n' | LC_ALL=C sort
    find "${covered[@]}" -type f -exec md5sum {} + | LC_ALL=C sort
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
[ -f "$case/arguments" ] && eval "options+=($(cat "$case/arguments"))"

snapshot >"$SANDBOX_SCRATCH/before"
document | "$MAIL_RESTORE_CHECK" "${options[@]}" >"$SANDBOX_SCRATCH/stdout" \
    2>"$SANDBOX_SCRATCH/stderr"
status=${PIPESTATUS[1]}
snapshot >"$SANDBOX_SCRATCH/after"

echo "exit status: $status"
echo "--- stdout"
if [ -f "$case/stdout-filter" ]; then
    bash -c "$(cat "$case/stdout-filter")" <"$SANDBOX_SCRATCH/stdout"
else
    cat "$SANDBOX_SCRATCH/stdout"
fi
echo "--- stderr"
cat "$SANDBOX_SCRATCH/stderr"
if [[ " ${options[*]} " == *" --json "* ]]; then
    python3 -m json.tool "$SANDBOX_SCRATCH/stdout" >/dev/null && echo "--- one JSON object"
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
    # The plan's call lines and input lines, in the stand-ins' log format.
    document | "$MAIL_RESTORE_CHECK" --plan |
        sed -n "s/^  \('.*\)$/\1/p; s/^    \(< .*\)$/  \1/p" >"$SANDBOX_SCRATCH/planned"
    cp "$HELPERS/sibling_stand_in" "$SANDBOX_SCRATCH/postmap-recorder"
    mount --bind "$SANDBOX_SCRATCH/postmap-recorder" /usr/sbin/postmap
    : >"$SIBLING_LOG"
    document | SIBLING_LOG_STDIN=1 "$MAIL_RESTORE"
    echo "--- the run: exit status $?"
    if diff -u "$SANDBOX_SCRATCH/planned" "$SIBLING_LOG"; then
        echo "--- the plan equals the run's calls, call for call ($(wc -l <"$SIBLING_LOG") lines)"
    fi
fi
