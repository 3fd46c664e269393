#!/bin/bash
# The shipped programs carry the hardening of every build (cmake/hardening.cmake), read off
# the binaries themselves:  hardening_test.sh fortify|no-fortify BINARY...
# position-independent, relro with bind-now, the stack protector, and (unless told
# otherwise: sanitizer and debug builds) fortified C library calls.
set -uo pipefail
fortify=$1
shift
failed=0
for binary in "$@"; do
    name=$(basename "$binary")
    headers=$(readelf -W --file-header --program-headers --dynamic "$binary")
    symbols=$(readelf -W --dyn-syms "$binary")
    check() {
        if grep -qE "$2" <<<"$3"; then
            echo "ok: $name: $1"
        else
            echo "FAILED: $name: $1"
            failed=1
        fi
    }
    check "position-independent executable" 'Type: +DYN ' "$headers"
    check "read-only relocations" 'GNU_RELRO' "$headers"
    check "bind-now" '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' "$headers"
    check "stack protector" '__stack_chk_fail' "$symbols"
    [ "$fortify" = fortify ] && check "fortified calls" '__[a-z_]+_chk(@|$| )' \
        "$(grep -v __stack_chk_fail <<<"$symbols")"
done
exit $failed
