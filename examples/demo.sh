#!/bin/bash
# Runs mail-restore once on a document, inside the sandbox, shows what it did, and then
# what mail-restore-check (beside the binary) says about the server it left.
#   demo.sh BINARY HELPERS_DIR DOCUMENT        (run through tests/sandbox; see the Makefile)
set -uo pipefail
binary=$1 helpers=$2 document=$3
check=$(dirname "$binary")/mail-restore-check
source "$(dirname "$0")/../tests/e2e/report.sh"
install_stand_ins "$helpers"
# A server as the panel sets it up: the mail names root open to the mail account, Postfix
# wired to the tables (a private main.cf over the host's), the domain's key for root alone.
mkdir -p -m 0755 /var/qmail/mailnames
cat /etc/postfix/main.cf "$(dirname "$0")/../tests/check/main.cf" >"$SANDBOX_SCRATCH/main.cf"
mount --bind "$SANDBOX_SCRATCH/main.cf" /etc/postfix/main.cf
mkdir -p /etc/domainkeys/example.com
echo "demo private key" >/etc/domainkeys/example.com/default
chmod 0600 /etc/domainkeys/example.com/default
# Another part of the panel lists the aliases as virtual domains of their own; without that,
# Postfix would never consult their catch-all entries (the check says so).
printf '%s %s/\n' example.net example.net example.org example.org |
    postmap -r -i hash:/var/spool/postfix/corvo/virtual_domains

echo "=== tables before the run"
report_tables
echo
echo "=== mail-restore < $(basename "$document")"
"$binary" <"$document"
echo "exit status: $?"
echo
echo "=== sibling calls, one per line, arguments quoted"
cat "$SIBLING_LOG"
echo
echo "=== tables after the run"
report_tables
echo
echo "=== mail directories and domain keys (mode owner:group)"
find /var/qmail /etc/domainkeys -printf '%p %M %u:%g\n' | LC_ALL=C sort
echo
echo "=== mail-restore-check < $(basename "$document")"
"$check" <"$document"
echo "exit status: $?"
