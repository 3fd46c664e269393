# Shared by the check scenarios' setup and feed scripts (source it).
readonly tables_dir=/var/spool/postfix/corvo

# The panel's other parts list the aliases as virtual domains of their own.
list_aliases() {
    printf '%s %s/\n' example.net example.net example.org example.org |
        "$REAL_POSTMAP" -r -i "hash:$tables_dir/virtual_domains"
}

# The domain's keys: a file, and a subdirectory with a file, readable by root alone.
domain_keys() {
    mkdir -p /etc/domainkeys/example.com/sub
    echo key >/etc/domainkeys/example.com/default
    echo deep >/etc/domainkeys/example.com/sub/deeper
    chmod 0600 /etc/domainkeys/example.com/default /etc/domainkeys/example.com/sub/deeper
}

# A server as the tool leaves it after a run on the document (default: the shared one).
restored() {
    list_aliases
    domain_keys
    "$MAIL_RESTORE" <"${1:-$BASE}"
}

# The shared document with a sed script applied.
based() { sed "$1" "$BASE"; }
