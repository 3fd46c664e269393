#!/bin/bash
# The Debian package installs and runs: built from BUILD_DIR, unpacked into a throw-away
# root, its binary restores the example document in the sandbox, and its check then finds
# the server in sync.
#
#   tests/package/test.sh BUILD_DIR HELPERS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
helpers=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/mail-restore-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

deb=$("$source/packaging/build-deb.sh" "$1" "$work")
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in postfix libc6; do
    [[ ", $depends" == *", $dependency"* ]] || fail "Depends lacks $dependency: $depends"
done
# libcrypto's MD5 is linked in, and its source named for rebuilds.
[[ ", $depends" != *", libssl"* ]] || fail "Depends names libssl: $depends"
[[ $(dpkg-deb -f "$deb" Static-Built-Using) == "openssl (= "* ]] ||
    fail "Static-Built-Using does not name openssl"
dpkg -x "$deb" "$work/root"
binary=$work/root/opt/vca/admin/sbin/mail-restore
[ -x "$binary" ] || fail "no $binary"
for program in mail-restore mail-restore-check; do
    [ -x "$work/root/opt/vca/admin/sbin/$program" ] || fail "no $program"
    [ -f "$work/root/usr/share/man/man8/$program.8.gz" ] || fail "no manual page of $program"
done

output=$("$source/tests/sandbox" "$source/examples/demo.sh" "$binary" "$helpers" \
    "$source/examples/domain.json" 2>&1)
# Tables as the demo shows them (cat -A).
for expected in "exit status: 0" 'example.com^Iexample.com/$' "result: in sync, no trap (exit 0)" \
        '@example.net^Icatchall@example.com$' \
        'postmaster@example.com^Ipostmaster@localhost.localdomain$'; do
    grep -qxF -- "$expected" <<<"$output" || { echo "$output"; fail "no \"$expected\""; }
done
echo "ok: $(basename "$deb") installs, restores the example document and checks it"
