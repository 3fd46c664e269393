#!/bin/bash
# One acceptance scenario, inside the sandbox (see run.sh):
#   scenario.sh CASE_DIR BINARY HELPERS_DIR
# It runs as PID 1 of a fresh process namespace, alone on a private loopback.
set -uo pipefail
[ $$ = 1 ] || exec unshare --net --pid --fork --mount-proc "$0" "$@"
steps=$1/steps binary=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/report.sh"
install_stand_ins "$3"
ip link set lo up
corvo=/var/spool/postfix/corvo
private=$SANDBOX_SCRATCH/private
mkdir "$private"

# Private copies keep their owners and modes: Postfix refuses unsafe directories. The
# spool copy gets the sandbox's table directory bound back over its corvo/.
for directory in /etc/postfix /var/lib/postfix /var/mail; do
    copy=$private/${directory//\//_}
    cp -a "$directory" "$copy" && mount --bind "$copy" "$directory"
done
cp -a /var/spool/postfix "$private/spool"
mount --rbind "$corvo" "$private/spool/corvo"
mount --rbind "$private/spool" /var/spool/postfix

maillog=/var/spool/postfix/maillog
cat >/etc/postfix/main.cf <<EOF
compatibility_level = 3.6
myhostname = mx.sandbox.test
mydestination = localhost.localdomain, localhost
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
smtpd_peername_lookup = no
virtual_alias_domains = hash:$corvo/virtual_domains
virtual_alias_maps = hash:$corvo/virtual
alias_maps = hash:$corvo/aliases
alias_database = hash:$corvo/aliases
smtpd_relay_restrictions = reject_unauth_destination
default_transport = discard:mail for other domains never leaves the sandbox
maillog_file = $maillog
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
EOF
postconf -F '*/*/chroot = n'
# Postfix waits while its configuration files are less than a second old.
touch -d '1 minute ago' /etc/postfix/main.cf /etc/postfix/master.cf

# The panel installs the tables empty; the tool fills them.
for table in virtual_domains virtual aliases; do
    : >"$corvo/$table" && postmap "hash:$corvo/$table"
done

# The bounce program: the alias pipe runs it as nobody (root owns the aliases table).
record=$SANDBOX_SCRATCH/bounce-record
install -o nobody -m 644 /dev/null "$record"
cat >/usr/lib/corvo-9.0/bouncemessage <<EOF
#!/bin/sh
{ printf '  bouncemessage as %s, %d argument(s):' "\$(id -un)" \$#
  for argument; do printf ' <%s>' "\$argument"; done; echo; } >>$record
cat >/dev/null
EOF
chmod 755 /usr/lib/corvo-9.0/bouncemessage

# Waits until PATTERN appears in the mail log at least COUNT times (30 s at most).
await_log() {
    local tries=600 count
    until count=$(grep -c -- "$1" "$maillog" 2>/dev/null); [ "${count:-0}" -ge "$2" ]; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || { echo "  (no \"$1\" in the mail log within 30 s)"; return 1; }
        sleep 0.05
    done
}

/usr/lib/postfix/sbin/master -w || { echo "Postfix did not start"; exit 1; }
await_log 'daemon started' 1 || exit 1

defaults=('"name": "example.com"' '"aliases": []' '"certificates": []' '"enabled": true'
          '"non_existent": {"type": "reject", "arg": ""}' '"vhost_id": "vh-1"'
          '"outgoing_limit": 100' '"is_main": true'
          '"transport": {"type": "domain-ip", "ipv4": "", "ipv6": ""}')
restore() {
    local members=$1 member
    for member in "${defaults[@]}"; do
        [[ $members == *"${member%%:*}:"* ]] || members+=", $member"
    done
    printf '{"domain": {%s}, "subscription": {"name": "example.com", "sysusers": [],
        "outgoing_limit": 100, "allow_sendmail": true}}' "$members" >"$SANDBOX_SCRATCH/document"
    local logged
    logged=$(wc -l <"$maillog")
    "$binary" <"$SANDBOX_SCRATCH/document" >"$SANDBOX_SCRATCH/output" 2>&1
    echo "restore {$1}: exit $?"
    sed 's/^/  /' "$SANDBOX_SCRATCH/output"
    # Postmap's warnings reach the mail log, not the tool's output.
    tail -n +$((logged + 1)) "$maillog" | sed -n 's/.* postfix\/postmap\[[0-9]*\]: /  postmap: /p'
    # What "postfix reload" does, without its shell start-up: daemons also notice changed
    # tables by their time stamp, but only to the second. An idle daemon of the old
    # generation can still take the next connection, with the old tables open, until it
    # sees the reload: the next step waits until each of them has gone.
    local reloads master old tries=600
    reloads=$(grep -c 'reload -- version' "$maillog")
    read -r master </var/spool/postfix/pid/master.pid
    old=$(pgrep -P "$master")
    kill -HUP "$master" && await_log 'reload -- version' $((reloads + 1)) || return
    while [ -n "$old" ] && kill -0 $old 2>/dev/null; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || { echo "  (daemons of before the reload still there after 30 s)"; return 1; }
        sleep 0.05
    done
}

# One SMTP session from the null sender; replies are read up to their last line.
smtp_session() {
    local address=$1 with_message=$2 line qid
    exec 3<>/dev/tcp/127.0.0.1/25 || { echo "no connection to port 25"; return; }
    reply() {
        while IFS= read -r line <&3; do
            line=${line%$'\r'}
            [[ $line == [0-9][0-9][0-9]-* ]] || break
        done
    }
    say() { printf '%s\r\n' "$1" >&3; reply; }
    reply
    say "HELO client.sandbox.test"
    say "MAIL FROM:<>"
    say "RCPT TO:<$address>"
    echo "RCPT TO:<$address> -> $line"
    if [[ $with_message == yes && $line == 250* ]]; then
        say DATA
        say $'Subject: acceptance\r\n\r\nA message for the scenario.\r\n.'
        qid=${line##* }
        if await_log "$qid: removed" 1; then
            sed -n "s/.*: $qid: \(to=<[^>]*>\(, orig_to=<[^>]*>\)\?\), relay=\([^,]*\),.*, status=/\
  delivered \1, relay=\3, status=/p" "$maillog"
        fi
        cat "$record" && : >"$record"
    fi
    say QUIT
    exec 3>&-
}

# Steps come on descriptor 4, so that no step's command eats them from standard input.
while IFS= read -r -u 4 step || [ -n "$step" ]; do
    [[ -z $step || $step == '#'* ]] && continue
    argument=${step#* }
    case ${step%% *} in
    setup) bash -c "$argument" || echo "setup failed: $argument" ;;
    restore) restore "$argument" ;;
    rcpt) smtp_session "$argument" no ;;
    send) smtp_session "$argument" yes ;;
    *) echo "unknown step: $step" ;;
    esac
done 4<"$steps"

# Stop Postfix and make sure that nothing of it outlives the scenario: the master stops its
# daemons, which may take a moment to go.
read -r master </var/spool/postfix/pid/master.pid
kill -TERM "$master"
for _ in $(seq 200); do
    ps -e -o pid=,comm= >"$SANDBOX_SCRATCH/processes"
    left=$(awk '$1 != 1 && $2 != "ps" { printf " %s", $2 }' "$SANDBOX_SCRATCH/processes")
    [ -z "$left" ] && break
    sleep 0.05
done
echo "postfix stopped; processes left:${left:- none}"
