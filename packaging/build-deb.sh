#!/bin/bash
# Builds the Debian package of mail-restore with dpkg-buildpackage (debian/, debhelper) from
# a copy of the source tree, so that nothing is written beside or inside the tree, and
# prints the path of the package.
#
#   packaging/build-deb.sh OUTPUT_DIR [JOBS]
#
# OUTPUT_DIR receives the package, its debug symbols package (.ddeb), .buildinfo and
# .changes. The copy leaves out version control and every CMake build directory (any
# directory that holds a CMakeCache.txt). Fails when the build does.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
output=$(realpath "$1")
jobs=${2:-2}
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
work=$(mktemp -d "${TMPDIR:-/tmp}/mail-restore-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

tree=$work/mail-restore-$version
mkdir "$tree"
tar -C "$source" --exclude=./.git --exclude-tag-all=CMakeCache.txt \
    --exclude='./obj-*' --exclude=./debian/mail-restore --exclude=./debian/.debhelper \
    -cf - . | tar -C "$tree" -xf -
(cd "$tree" && DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -b -uc -us \
    >"$work/build.log" 2>&1) || { tail -n 40 "$work/build.log" >&2; exit 1; }
find "$work" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.ddeb' -o -name '*.buildinfo' \
    -o -name '*.changes' \) -exec mv -t "$output" {} +
echo "$output/mail-restore_${version}_$(dpkg --print-architecture).deb"
