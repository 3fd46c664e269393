#!/bin/bash
# Whole-tool timing, inside the sandbox (tests/sandbox bench/run.sh ...; see make bench):
#
#   run.sh BINARY BENCH_PROGRAMS_DIR RESULTS_DIR
#
# The siblings are sibling_exit (exits at once), postmap is Debian's own. For each document
# (the example one, and one with 1000 aliases) the children of one run are recorded once
# (record_call bind-mounted over their paths); then, table size by table size, timed runs of
# the tool (measure_run) alternate with bare runs of the same children (replay_calls), so
# that a change of load on the machine hits both alike. Results are plain text files in
# RESULTS_DIR, one line per run; bench/report.py turns them into docs/PERFORMANCE.md.
#
# Then mail-restore-check (beside the binary) is timed on the same document and on the tables
# the tool's runs left at each size, with the aliases listed as virtual domains as the panel
# lists them, so that every check finds the server in sync and exits 0.
#
# BENCH_REPEATS (30), BENCH_ALIAS_REPEATS (2; a run with 1000 aliases takes over a minute)
# and BENCH_SIZES ("0 10000 100000 1000000") change how much is measured; BENCH_CHECK_ONLY=1
# leaves out everything but the tool's and the check's timed runs. BENCH_ALSO lists other
# builds of the tool as NAME=PATH words (make bench adds the build that loads its runtime
# libraries dynamically; an earlier commit's binary gives a before-and-after), timed in the
# same rounds.
set -euo pipefail
binary=$1 programs=$2 results=$3
check=$(dirname "$binary")/mail-restore-check
check_only=${BENCH_CHECK_ONLY:-}
repeats=${BENCH_REPEATS:-30}
alias_repeats=${BENCH_ALIAS_REPEATS:-2}
sizes=${BENCH_SIZES:-0 10000 100000 1000000}
readonly siblings=(relayctl-outgoing relayctl-domain relayctl-imap relayctl-transport)
readonly tables=(virtual_domains virtual aliases)
readonly spool=/var/spool/postfix/corvo
scratch=$SANDBOX_SCRATCH
source_dir=$(cd "$(dirname "$0")/.." && pwd)

say() { echo "bench: $*" >&2; }

mkdir -p "$results" /opt/vca/admin/sbin /etc/domainkeys/example.com
rm -f "$results"/*.runs
for utility in "${siblings[@]}"; do
    cp "$programs/sibling_exit" "/opt/vca/admin/sbin/$utility"
done
echo "bench private key" >/etc/domainkeys/example.com/default
# A server as the panel sets it up, so that the check finds nothing in the way of a run: the
# mail names root open to the mail account, Postfix wired to the tables (a private main.cf
# over the host's), the domain's key for root alone.
chmod 0600 /etc/domainkeys/example.com/default
mkdir -p -m 0755 /var/qmail/mailnames
cat /etc/postfix/main.cf "$source_dir/tests/check/main.cf" >"$scratch/main.cf"
mount --bind "$scratch/main.cf" /etc/postfix/main.cf
cp /usr/sbin/postmap "$scratch/postmap.real"

# Documents: the example, and the same domain with 1000 aliases.
cp "$source_dir/examples/domain.json" "$scratch/example.json"
aliases=$(seq -f '"alias-%04g.example.net"' 1 1000 | paste -sd,)
sed "s/\"aliases\": \[[^]]*\]/\"aliases\": [$aliases]/" "$scratch/example.json" \
    >"$scratch/aliases-1000.json"

# Tables of N entries each, built once per size by postmap from a source file.
fill_tables() {
    local size=$1 dir="$scratch/tables-$1"
    mkdir -p "$dir"
    for table in "${tables[@]}"; do
        awk -v n="$size" 'BEGIN { for (i = 0; i < n; i++)
            printf "fill-%07d.example.test\tfill-%d@localhost.localdomain\n", i, i }' \
            >"$dir/$table"
        "$scratch/postmap.real" "hash:$dir/$table"
        rm "$dir/$table"
    done
}
use_tables() {
    rm -f "$spool"/*
    cp "$scratch/tables-$1"/*.db "$spool/"
}

# One run to reach the steady state (later runs write the same entries again), then one
# recorded run.
record() {
    local document=$1 record=$2
    "$binary" <"$document" >/dev/null 2>&1 || { say "the tool failed on $document"; exit 1; }
    : >"$record"
    mount --bind "$programs/record_call" /usr/sbin/postmap
    for utility in "${siblings[@]}"; do
        mount --bind "$programs/record_call" "/opt/vca/admin/sbin/$utility"
    done
    BENCH_RECORD=$record BENCH_POSTMAP=$scratch/postmap.real \
        BENCH_SIBLING=$programs/sibling_exit "$binary" <"$document" >/dev/null 2>&1
    umount /usr/sbin/postmap
    for utility in "${siblings[@]}"; do
        umount "/opt/vca/admin/sbin/$utility"
    done
}

# Timed runs, the tool alternating with its bare children started by fork and by
# posix_spawn, and with the other builds of BENCH_ALSO; one warm-up of each.
measure() {
    local label=$1 document=$2 record=$3 count=$4
    "$programs/measure_run" "$document" "$binary" >/dev/null
    "$programs/replay_calls" "$record" >/dev/null
    "$programs/measure_run" /dev/null "$programs/replay_calls" --spawn "$record" >/dev/null
    for ((i = 0; i < count; i++)); do
        "$programs/measure_run" "$document" "$binary" >>"$results/$label.tool.runs"
        "$programs/replay_calls" "$record" >>"$results/$label.bare.runs"
        # The spawn replay as a whole process, timed exactly as the tool is.
        "$programs/measure_run" /dev/null "$programs/replay_calls" --spawn "$record" \
            >>"$results/$label.spawn.runs"
        for other in ${BENCH_ALSO:-}; do
            "$programs/measure_run" "$document" "${other#*=}" >>"$results/$label.also-${other%%=*}.runs"
        done
    done
}

# The tables the tool's runs left at one size, with the aliases listed as virtual domains,
# kept aside for the check's runs.
keep_checked_tables() {
    printf '%s %s/\n' example.net example.net example.org example.org |
        "$scratch/postmap.real" -r -i "hash:$spool/virtual_domains"
    mkdir -p "$scratch/checked-$1"
    cp -a "$spool"/. "$scratch/checked-$1/"
}

# Timed runs of the check, the table sizes taking turns (each size's tables bind-mounted over
# the spool directory), so that a change of load on the machine hits every size alike; one
# warm-up of each first.
measure_checks() {
    local document=$1 size i
    for ((i = -1; i < repeats; i++)); do
        for size in $sizes; do
            mount --bind "$scratch/checked-$size" "$spool"
            if ((i < 0)); then
                "$programs/measure_run" "$document" "$check" >/dev/null
            else
                "$programs/measure_run" "$document" "$check" >>"$results/example-$size.check.runs"
            fi
            umount "$spool"
        done
    done
}

machine() {
    echo "when $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "cpu $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
    echo "kernel $(uname -r)"
    echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "busiest processes (%cpu nice command):"
    ps -eo pcpu=,ni=,comm= --sort=-pcpu | head -8 | sed 's/^/    /'
}

machine >"$results/machine-before.txt"

# What starting any program costs here: sibling_exit does nothing, so its own CPU time is the
# exec and the exit alone.
if [ -z "$check_only" ]; then
    say "an empty program"
    for ((i = 0; i < repeats; i++)); do
        "$programs/measure_run" /dev/null "$programs/sibling_exit" >>"$results/empty.runs"
    done
fi

use_tables_ready=
for size in $sizes; do
    say "tables of $size entries"
    fill_tables "$size"
    use_tables "$size"
    if [ -z "$use_tables_ready" ]; then
        record "$scratch/example.json" "$scratch/example.calls"
        cp "$scratch/example.calls" "$results/example.calls"
        use_tables_ready=1
    fi
    measure "example-$size" "$scratch/example.json" "$scratch/example.calls" "$repeats"
    keep_checked_tables "$size"
    rm -rf "$scratch/tables-$size"
done
say "the check"
measure_checks "$scratch/example.json"
rm -rf "$scratch"/checked-*

if [ -n "$check_only" ]; then
    machine >"$results/machine-after.txt"
    exit 0
fi

say "peak resident set and instruction count"
for ((i = 0; i < 5; i++)); do
    "$programs/measure_run" --rss "$scratch/example.json" "$binary" >>"$results/example.rss.runs"
done
( cd "$scratch" && valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.%p" \
      "$binary" <"$scratch/example.json" >/dev/null 2>"$scratch/valgrind.log" ) || true
# The tool's own profile is the file of the first process; the others are its forked
# children before they execute their program.
first=$(ls "$scratch"/callgrind.* | sort -t. -k2 -n | head -1)
callgrind_annotate "$first" >"$results/example.callgrind.txt" 2>/dev/null || true

# Where the tool's own CPU time goes: samples of its process alone (not its children), over
# ten runs, as inclusive shares of a few telling frames.
if command -v perf >/dev/null; then
    for ((i = 0; i < 10; i++)); do
        perf record -q -F 20000 -g --no-inherit -o "$scratch/perf.data.$i" \
            "$binary" <"$scratch/example.json" >/dev/null 2>&1 || true
    done
    for ((i = 0; i < 10; i++)); do
        perf report -i "$scratch/perf.data.$i" --children --sort sym --stdio -g none 2>/dev/null |
            grep -v '^#' || true
    done >"$results/example.perf.txt"
fi

say "a domain with 1000 aliases"
rm -f "$spool"/*
record "$scratch/aliases-1000.json" "$scratch/aliases-1000.calls"
measure "aliases-1000" "$scratch/aliases-1000.json" "$scratch/aliases-1000.calls" "$alias_repeats"
"$programs/measure_run" --rss "$scratch/aliases-1000.json" "$binary" >>"$results/aliases-1000.rss.runs"
machine >"$results/machine-after.txt"
