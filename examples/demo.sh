#!/bin/bash
# Runs mail-restore once on a document, inside the sandbox, and shows what it did.
#   demo.sh BINARY HELPERS_DIR DOCUMENT        (run through tests/sandbox; see the Makefile)
set -uo pipefail
binary=$1 helpers=$2 document=$3
source "$(dirname "$0")/../tests/e2e/report.sh"
install_stand_ins "$helpers"
mkdir -p /etc/domainkeys/example.com
echo "demo private key" >/etc/domainkeys/example.com/default

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
