#!/bin/bash
# The Debian package, built as `make deb` builds it: its fields, its files and their
# versions, lintian's hardening verdict, its installation script and tmpfiles.d entry run
# in throw-away roots inside the sandbox, its binary restoring the example document and its
# check then finding the server in sync. Also where `make install` puts the manual pages.
#
#   tests/package/test.sh BUILD_DIR HELPERS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
build=$(realpath "$1")
helpers=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/mail-restore-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
date=$(date -u -d "@$(dpkg-parsechangelog -l "$source/debian/changelog" -S Timestamp)" +%F)
deb=$("$source/packaging/build-deb.sh" "$work/out")

# Fields.
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in postfix libc6; do
    [[ ", $depends" == *", $dependency"* ]] || fail "Depends lacks $dependency: $depends"
done
# libcrypto's MD5 is linked in, and its source named for rebuilds.
[[ ", $depends" != *", libssl"* ]] || fail "Depends names libssl: $depends"
[[ $(dpkg-deb -f "$deb" Static-Built-Using) == *"openssl (= "* ]] ||
    fail "Static-Built-Using does not name openssl"

# Files: every tool under admin/sbin carries the release, every manual page the release and
# its date.
root=$work/root
dpkg -x "$deb" "$root"
binary=$root/opt/vca/admin/sbin/mail-restore
for tool in "$root"/opt/vca/admin/sbin/*; do
    strings "$tool" | grep -x "mail-restore $version" >/dev/null || fail "no version string in $tool"
done
for program in mail-restore mail-restore-check; do
    [ -x "$root/opt/vca/admin/sbin/$program" ] || fail "no $program"
    [ -f "$root/usr/share/man/man8/$program.8.gz" ] || fail "no manual page of $program"
done
for page in "$root"/usr/share/man/man8/*.8.gz; do
    header=$(zcat "$page" | grep '^\.TH ')
    [[ $header == *"\"$date\" \""*" $version\""* ]] ||
        fail "$(basename "$page"): header $header lacks $date and $version"
done
entry=$(grep -v '^#' "$root/usr/lib/tmpfiles.d/mail-restore.conf")
[ "$entry" = "d /run/lock/files 0755 root root -" ] || fail "tmpfiles.d entry: $entry"

# Hardening: lintian's pedantic run names no hardening tag.
lintian_output=$(lintian --pedantic "$deb" 2>&1) || true
if grep -q 'hardening-' <<<"$lintian_output"; then
    echo "$lintian_output"
    fail "lintian reports missing hardening"
fi

# The installation script, inside the sandbox, in throw-away roots holding the package's
# files (DPKG_ROOT, as dpkg sets it for an installation into another root).
dpkg-deb -e "$deb" "$work/control"
cat >"$work/install.sh" <<'INSTALL'
set -euo pipefail
files=$1 postinst=$2 root=$SANDBOX_SCRATCH/root tables=var/spool/postfix/corvo
fail() { echo "FAIL: $*"; exit 1; }
# A root like an installed system: the package's files, Postfix's spool, an empty /run/lock.
fresh_root() {
    rm -rf "$root" && cp -a "$files" "$root" && mkdir -p "$root"/{var/spool/postfix,run/lock}
}
installation() { DPKG_ROOT=$root sh "$postinst" "${1:-configure}"; }
describe() { (cd "$root" && find "$@" -printf '%p %m %u:%g\n' | LC_ALL=C sort); }
entries() { postmap -s "hash:$root/$tables/$1" | LC_ALL=C sort; }

# Nothing there yet: the directory and three empty tables, and the lock directory.
fresh_root
installation
[ "$(describe "$tables" run/lock/files)" = "run/lock/files 755 root:root
$tables 755 root:root
$tables/aliases.db 644 root:root
$tables/virtual.db 644 root:root
$tables/virtual_domains.db 644 root:root" ] || { describe "$tables" run/lock; fail "fresh root"; }
for table in virtual_domains virtual aliases; do
    [ -z "$(entries "$table")" ] || fail "$table is not empty"
done
# The sandbox's own paths are not the root's: nothing may land there.
[ -z "$(ls -A /var/spool/postfix/corvo)" ] && [ -z "$(ls -A /run/lock/files)" ] || fail "DPKG_ROOT ignored"

# Existing tables keep every byte, mode and time, whatever they hold, and so does their
# directory; the missing table is created; running the script again changes nothing.
fresh_root
mkdir -m 0750 "$root/$tables"
printf 'example.com example.com/\n' | postmap -i "hash:$root/$tables/virtual_domains"
printf 'not a table\n' >"$root/$tables/aliases.db"
chmod 600 "$root/$tables/aliases.db"
touch -d @1000000000 "$root/$tables"/*
snapshot() {
    (cd "$root/$tables" && stat -c '%n %a %U:%G %s %Y' "$@" &&
        find "$@" -maxdepth 0 -type f -exec md5sum {} +)
}
before=$(snapshot virtual_domains.db aliases.db; stat -c '%a %U:%G' "$root/$tables")
installation
after=$(snapshot virtual_domains.db aliases.db; stat -c '%a %U:%G' "$root/$tables")
[ "$before" = "$after" ] || { diff <(echo "$before") <(echo "$after"); fail "existing tables touched"; }
[ "$(entries virtual_domains)" = "example.com	example.com/" ] || fail "virtual_domains lost its entry"
[ -z "$(entries virtual)" ] || fail "the missing table is not empty"
before=$(snapshot . virtual_domains.db virtual.db aliases.db)
installation
[ "$before" = "$(snapshot . virtual_domains.db virtual.db aliases.db)" ] ||
    fail "a second installation changed the tables"

# Only "configure" creates anything.
fresh_root
installation abort-remove
[ ! -e "$root/$tables" ] || fail "abort-remove created the tables"

# The tmpfiles.d entry goes to systemd-tmpfiles for this root (a stand-in records the call).
fresh_root
mkdir "$SANDBOX_SCRATCH/bin"
printf '#!/bin/sh\necho "$@" >>"%s"\n' "$SANDBOX_SCRATCH/tmpfiles-calls" >"$SANDBOX_SCRATCH/bin/systemd-tmpfiles"
chmod +x "$SANDBOX_SCRATCH/bin/systemd-tmpfiles"
PATH=$SANDBOX_SCRATCH/bin:$PATH installation
[ "$(cat "$SANDBOX_SCRATCH/tmpfiles-calls")" = "--root=$root --create mail-restore.conf" ] ||
    fail "systemd-tmpfiles call: $(cat "$SANDBOX_SCRATCH/tmpfiles-calls")"
INSTALL
"$source/tests/sandbox" bash "$work/install.sh" "$root" "$work/control/postinst" ||
    fail "installation script"

# make install: the manual page where man(1) finds it (the local manual tree, private here).
"$source/tests/sandbox" bash -c '
    set -e
    mount -t tmpfs local-manuals /usr/local/share/man
    cmake --install "$1" >/dev/null
    [ -x /opt/vca/admin/sbin/mail-restore ]
    [ "$(realpath "$(man -w mail-restore)")" = /usr/local/share/man/man8/mail-restore.8 ]
    man mail-restore 2>/dev/null | grep -q "mail-restore '"$version"'"
' install "$build" || fail "make install: the manual page is not where man finds it"

# The packaged binary restores the example document.
output=$("$source/tests/sandbox" "$source/examples/demo.sh" "$binary" "$helpers" \
    "$source/examples/domain.json" 2>&1)
# Tables as the demo shows them (cat -A).
for expected in "exit status: 0" 'example.com^Iexample.com/$' "result: in sync, no trap (exit 0)" \
        '@example.net^Icatchall@example.com$' \
        'postmaster@example.com^Ipostmaster@localhost.localdomain$'; do
    grep -qxF -- "$expected" <<<"$output" || { echo "$output"; fail "no \"$expected\""; }
done
echo "ok: $(basename "$deb") (lintian: no hardening tag) installs, restores the example document and checks it"
