#!/bin/bash
# Timing of mail-restore-check's cost in the number of aliases and of the audit (--all) of a
# whole server, inside the sandbox (tests/sandbox bench/audit.sh ...; make bench runs it):
#
#   audit.sh CHECK BENCH_PROGRAMS_DIR RESULTS_DIR
#
# One domain with N aliases (BENCH_ALIAS_COUNTS, "10000 20000 40000"), then
# BENCH_AUDIT_DOCUMENTS (100000) documents of BENCH_AUDIT_ALIASES (9) aliases each, so that
# the tables hold one entry per name in virtual_domains and aliases (1,000,000 at the
# defaults) and more in virtual (the administrative addresses besides). Every server is
# built as a run leaves it: the table entries are the ones the check reports missing on an
# empty server, the aliases are listed as virtual domains, each domain has its mail
# directory; so every check and every audit finds it in sync and exits 0. The audit's runs
# alternate with bare runs of the three "postmap -s" on the same tables (BENCH_AUDIT_REPEATS,
# 3, of each), so that a change of load hits both alike; one more run gives the peak
# resident set. Results: one line per run in RESULTS_DIR/*.runs, as measure_run prints it.
set -euo pipefail
check=$1 programs=$2 results=$3
alias_counts=${BENCH_ALIAS_COUNTS:-10000 20000 40000}
documents=${BENCH_AUDIT_DOCUMENTS:-100000}
aliases_each=${BENCH_AUDIT_ALIASES:-9}
repeats=${BENCH_AUDIT_REPEATS:-3}
readonly spool=/var/spool/postfix/corvo mailnames=/var/qmail/mailnames
readonly tables=(virtual_domains virtual aliases)
scratch=$SANDBOX_SCRATCH

say() { echo "bench: $*" >&2; }

mkdir -p "$results" "$spool" "$mailnames" /opt/vca/admin/sbin
rm -f "$results"/aliases-*.check.runs "$results"/audit.*.runs
# A server as the panel sets it up, so that the single check finds nothing in the way of a
# run: the sibling utilities there, Postfix wired to the tables (a private main.cf over the
# host's).
for utility in relayctl-outgoing relayctl-domain relayctl-imap relayctl-transport; do
    cp "$programs/sibling_exit" "/opt/vca/admin/sbin/$utility"
done
cat /etc/postfix/main.cf "$(dirname "$0")/../tests/check/main.cf" >"$SANDBOX_SCRATCH/main.cf"
mount --bind "$SANDBOX_SCRATCH/main.cf" /etc/postfix/main.cf

# COUNT documents of one line each, domain dNNNNNNN.example with ALIASES aliases, bounce.
documents() {
    awk -v n="$1" -v k="$2" -v first="${3:-0}" 'BEGIN { for (i = first; i < first + n; i++) {
        d = sprintf("d%07d.example", i); a = ""
        for (j = 1; j <= k; j++) a = a (j > 1 ? "," : "") sprintf("\"a%d-%s\"", j, d)
        printf "{\"domain\":{\"name\":\"%s\",\"aliases\":[%s],\"certificates\":[],", d, a
        printf "\"enabled\":true,\"non_existent\":{\"type\":\"bounce\",\"arg\":\"gone\"},"
        printf "\"vhost_id\":\"7f3c9a2e-1b4d-4c8e-9f10-2a6b5c4d3e21\",\"outgoing_limit\":1,"
        printf "\"is_main\":true,\"transport\":{\"type\":\"explicit-ip\",\"ipv4\":"
        printf "\"203.0.113.10\",\"ipv6\":\"2001:db8::10\"}},\"subscription\":{\"name\":"
        printf "\"%s\",\"sysusers\":[],\"outgoing_limit\":1,\"allow_sendmail\":false}}\n", d } }'
}

# The server as runs of the documents leave it: tables from the entries the check finds
# missing on an empty server, the aliases listed, the mail directories.
build_server() {
    local stream=$1 table
    rm -rf "${spool:?}"/*; find "$mailnames" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
    for table in "${tables[@]}"; do : >"$scratch/$table"; done
    "$check" --all <"$stream" | awk -v dir="$scratch" '
        $1 == "missing" && ($3 == "virtual_domains" || $3 == "virtual" || $3 == "aliases") {
            line = $0; sub(/^  missing  [a-z]+ +[a-z_]+  /, "", line); at = index(line, " -> ")
            print substr(line, 1, at - 1) " " substr(line, at + 4) >>(dir "/" $3) }
        $1 == "domain:" { print $2 >>(dir "/domains") }' || true
    grep -o '"a[0-9]*-d[0-9]*\.example"' "$stream" | tr -d '"' | awk '{ print $1 " " $1 "/" }' \
        >>"$scratch/virtual_domains"
    for table in "${tables[@]}"; do
        postmap "hash:$scratch/$table"
        mv "$scratch/$table.db" "$spool/"
        rm "$scratch/$table"
    done
    (cd "$mailnames" && xargs mkdir <"$scratch/domains" &&
        xargs chown popuser: <"$scratch/domains" && xargs chmod 0750 <"$scratch/domains")
    rm "$scratch/domains"
}

# Cost in the aliases: the single check of one domain with N aliases.
for count in $alias_counts; do
    say "one domain with $count aliases"
    documents 1 "$count" >"$scratch/aliases-$count.json"
    build_server "$scratch/aliases-$count.json"
    "$programs/measure_run" "$scratch/aliases-$count.json" "$check" >/dev/null
    for ((i = 0; i < repeats; i++)); do
        "$programs/measure_run" "$scratch/aliases-$count.json" "$check" \
            >>"$results/aliases-$count.check.runs"
    done
    "$programs/measure_run" --rss "$scratch/aliases-$count.json" "$check" \
        >>"$results/aliases-$count.check.rss.runs"
done

say "$documents documents of $aliases_each aliases each"
documents "$documents" "$aliases_each" >"$scratch/audit.stream"
build_server "$scratch/audit.stream"
cat >"$scratch/dumps.sh" <<EOF
#!/bin/sh
for table in ${tables[*]}; do /usr/sbin/postmap -s "hash:$spool/\$table" >/dev/null || exit 1; done
EOF
chmod +x "$scratch/dumps.sh"
for table in "${tables[@]}"; do
    echo "$table $(/usr/sbin/postmap -s "hash:$spool/$table" | wc -l)"
done >"$results/audit.tables.txt"
# One warm-up of each, then the two alternating.
"$programs/measure_run" /dev/null "$scratch/dumps.sh" >/dev/null
"$programs/measure_run" "$scratch/audit.stream" "$check" --all >/dev/null
for ((i = 0; i < repeats; i++)); do
    "$programs/measure_run" /dev/null "$scratch/dumps.sh" >>"$results/audit.dumps.runs"
    "$programs/measure_run" "$scratch/audit.stream" "$check" --all >>"$results/audit.check.runs"
done
"$programs/measure_run" --rss "$scratch/audit.stream" "$check" --all >>"$results/audit.rss.runs"
rm -rf "${spool:?}"/* "$scratch"/audit.stream "$scratch"/aliases-*.json
find "$mailnames" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
