#!/bin/bash
# Acceptance scenarios against a real Postfix: each directory under cases/ holds "steps"
# and "expected". A scenario (scenario.sh) runs in a fresh sandbox, inside a private network
# and process namespace, where Postfix runs on private copies of its directories and is
# configured to use the tool's three tables; its transcript (the tool's exit status and
# output, Postfix's exact reply to each RCPT TO, where each accepted message was delivered,
# and what the bounce program received) must equal "expected".
#
#   tests/acceptance/run.sh BINARY HELPERS_DIR [CASE...]   UPDATE=1 rewrites the expected files
#
# Steps, one per line ('#' starts a comment line):
#   setup COMMAND        run COMMAND with bash (e.g. list alias domains, write panel.ini)
#   restore MEMBERS      run the tool on a document whose "domain" object holds MEMBERS (JSON
#                        members) and defaults for every member MEMBERS does not name;
#                        then Postfix reloads
#   rcpt ADDRESS         MAIL FROM:<> and RCPT TO:<ADDRESS>; the reply is recorded
#   send ADDRESS         the same, and when the recipient is accepted a message follows and
#                        its delivery is recorded from Postfix's log
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/run_cases.sh"
host_state() {
    find /etc/postfix /var/spool/postfix -printf '%p %m %u %g %s %T@\n' 2>/dev/null | sort
    find /etc/postfix /var/spool/postfix -type f -exec md5sum {} + 2>/dev/null | sort
}
before=$(host_state)
run_cases "$here/scenario.sh" "$1" "$2" -- "${@:3}"
failed=$?
if ! diff <(printf '%s\n' "$before") <(host_state); then
    echo "FAIL the host's /etc/postfix or /var/spool/postfix changed"
    failed=1
fi
exit "$failed"
