#!/bin/bash
# Builds the Debian package of mail-restore from a build directory that holds the built
# tool, with dpkg-deb, and prints the package's path.
#
#   packaging/build-deb.sh BUILD_DIR OUTPUT_DIR
#
# The tool goes to /opt/vca/admin/sbin (stripped), its manual page to /usr/share/man;
# the package depends on postfix and on the shared libraries the binary links (dpkg-shlibdeps).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
mkdir -p "$2"
output=$(realpath "$2")
package=mail-restore
version=$(dpkg-parsechangelog -l "$here/changelog" -S Version)
architecture=$(dpkg --print-architecture)
work=$(mktemp -d "${TMPDIR:-/tmp}/mail-restore-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/src/debian/$package
umask 022

DESTDIR=$root cmake --install "$build" --prefix /opt/vca --strip >/dev/null
strip --remove-section=.comment --remove-section=.note "$root/opt/vca/admin/sbin/"*
mkdir -p "$root/usr/share/man/man8" "$root/usr/share/doc/$package" \
    "$root/usr/share/lintian/overrides"
# The manual page goes where man(1) finds it.
for page in "$root"/opt/vca/share/man/man8/*.8; do gzip -9n <"$page" >"$root/usr/share/man/man8/${page##*/}.gz"; done
rm -r "$root/opt/vca/share"
install -m 644 "$here/copyright" "$root/usr/share/doc/$package/copyright"
gzip -9n <"$here/changelog" >"$root/usr/share/doc/$package/changelog.gz"
install -m 644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/$package"
chmod 644 "$root"/usr/share/man/man8/* "$root/usr/share/doc/$package"/*

# dpkg-shlibdeps wants a source package around the binary.
mkdir "$root/DEBIAN"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" \
    >"$work/src/debian/control"
libraries=$(cd "$work/src" && dpkg-shlibdeps -O "debian/$package"/opt/vca/admin/sbin/* |
    sed -n 's/^shlibs:Depends=//p')

# The C++ runtime and libcrypto's MD5 are linked into the tool (driver/CMakeLists.txt): the
# field names their source packages, so that an update of either shows this one needs a rebuild.
runtime=$(dpkg -S "$(realpath "$(g++ -print-file-name=libstdc++.a)")" | cut -d: -f1)
static_sources=$(dpkg-query -W -f='${source:Package} (= ${source:Version})\n' libssl-dev "$runtime" |
    paste -sd, | sed 's/,/, /g')

cat >"$root/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: $architecture
Maintainer: $(dpkg-parsechangelog -l "$here/changelog" -S Maintainer)
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $libraries, postfix
Static-Built-Using: $static_sources
Section: mail
Priority: optional
Description: restores one domain's mail configuration for the hosting panel
 The panel starts mail-restore as root with a JSON document on standard
 input. It brings the panel's Postfix lookup tables in line with the
 domain, registers the domain with the panel's mail utilities and copies
 the domain's DomainKeys material to its aliases.
CONTROL
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/md5sums"
deb=$output/${package}_${version}_$architecture.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
