#!/bin/bash
# The sandbox keeps the host untouched: a command that writes into every covered path and
# into the account database leaves the host's paths, their parents and /etc/passwd and
# /etc/group exactly as they were, and the accounts inside are what the options ask for.
set -euo pipefail
sandbox="$(dirname "$0")/sandbox"
paths=(/var/spool/postfix/corvo /run/lock/files /opt/vca /etc/domainkeys /var/qmail
       /etc/vca /usr/lib/corvo-9.0)

snapshot() {
    for path in "${paths[@]}"; do
        if [ -e "$path" ]; then
            find "$path" -printf '%p %m %u %g %s %T@\n' 2>/dev/null | sort
        else
            echo "$path absent"
        fi
        ls -la --time-style=+%s.%N "$(dirname "$path")" 2>/dev/null
    done
    md5sum /etc/passwd /etc/group
    ls -A "$TMPDIR"
    ls -la /dev/log "$(realpath -m /dev/log)" 2>&1 || true
}

# The sandboxes' scratch directories go to a private TMPDIR, which must be empty again after.
TMPDIR=$(mktemp -d)
export TMPDIR
trap 'rmdir "$TMPDIR"' EXIT

before=$(snapshot)
"$sandbox" bash -c '
    set -e
    for path in "$@"; do
        [ -d "$path" ] && [ -z "$(ls -A "$path")" ] || { echo "not fresh: $path"; exit 1; }
        echo scribble >"$path/scribble"
        mkdir -p "$path/deeper/still"
    done
    echo "intruder:x:999:999::/:/bin/false" >>/etc/passwd
    getent passwd popuser >/dev/null && getent group popuser >/dev/null
    # The system log is a dead end inside, and the devices and submounts of /dev still work.
    [ -f /dev/log ] && [ ! -s /dev/log ] || { echo "/dev/log is not covered"; exit 1; }
    logger --socket-errors=off "sandbox test: this record must go nowhere"
    echo test >/dev/null && [ -c /dev/null ] && [ "$(head -c 3 /dev/zero | wc -c)" = 3 ]
    [ -e /dev/pts/ptmx ] || { echo "/dev/pts is lost"; exit 1; }
' sandbox "${paths[@]}"
"$sandbox" --no-popuser bash -c '! getent passwd popuser && ! getent group popuser'
status=0
"$sandbox" sh -c 'exit 7' || status=$?
[ "$status" = 7 ] || { echo "sandbox lost the exit status: $status"; exit 1; }
after=$(snapshot)

if [ "$before" != "$after" ]; then
    echo "the host changed:"
    diff <(echo "$before") <(echo "$after") || true
    exit 1
fi
echo "host untouched"
