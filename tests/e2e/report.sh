# Shared by the end-to-end scenarios and the demo: stand-in siblings and a report of the
# state the tool leaves (sibling calls, whole tables, mail directories and keys).
export SIBLING_LOG="$SANDBOX_SCRATCH/sibling-calls" SIBLING_RULES="$SANDBOX_SCRATCH/sibling-rules"
readonly tables=(virtual_domains virtual aliases)

install_stand_ins() {
    mkdir -p /opt/vca/admin/sbin
    for utility in relayctl-outgoing relayctl-domain relayctl-imap relayctl-transport; do
        cp "$1/sibling_stand_in" "/opt/vca/admin/sbin/$utility"
    done
    : >"$SIBLING_LOG"
    # Setups may bind a failing stand-in over /usr/sbin/postmap; reports and checks read the
    # tables with the real one.
    cp /usr/sbin/postmap "$SANDBOX_SCRATCH/postmap.real"
    export REAL_POSTMAP="$SANDBOX_SCRATCH/postmap.real"
}

report_tables() {
    for table in "${tables[@]}"; do
        echo "--- table $table"
        if [ -e "/var/spool/postfix/corvo/$table.db" ]; then
            "$REAL_POSTMAP" -s "hash:/var/spool/postfix/corvo/$table" | LC_ALL=C sort | cat -A
        else
            echo "(none)"
        fi
    done
}

report_state() {
    echo "--- sibling calls"
    cat "$SIBLING_LOG"
    report_tables
    echo "--- files"
    find /var/qmail /etc/domainkeys -mindepth 1 -printf '%p %M %u:%g\n' 2>/dev/null | LC_ALL=C sort
}
