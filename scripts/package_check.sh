#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages (kyl, libkyl1, libkyl-dev) from a copy of the
# source tree, checks them with lintian (no error allowed), unpacks them into
# a scratch root and runs the installation check on what they hold: the
# installed programs, and the example against the installed library.  The
# packages are left in build/packages/.  The tests are not run in the package
# build: the test script runs them on its own build.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
source "$top/scripts/setup.sh"
kyl_require_packages debhelper dpkg-dev lintian cmake g++ make pkg-config binutils

version="$(sed -n 's/^#define KYL_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$top/include/kyl.h" | paste -sd.)"
packaged="$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)"
[ "$packaged" = "$version" ] || { echo "debian/changelog is at $packaged, kyl.h at $version"; exit 1; }

# dpkg-buildpackage writes beside the source folder: a copy in a scratch
# folder keeps its outputs out of the tree's parent.
scratch="$(mktemp -d /tmp/kyl-packages-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/kyl"
tar -C "$top" --exclude=./.git --exclude='./build*' --exclude='./obj-*' --exclude=./fuzz/artifacts \
    --exclude=./bench/results -cf - . | tar -C "$scratch/kyl" -xf -
if ! (cd "$scratch/kyl" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$(nproc)" \
        dpkg-buildpackage -us -uc -b -Pnocheck >"$scratch/build.log" 2>&1); then
    tail -40 "$scratch/build.log"
    echo "dpkg-buildpackage failed"
    exit 1
fi
changes="$scratch/kyl_${version}_$(dpkg --print-architecture).changes"
lintian_status=0
lintian --fail-on error "$changes" >"$scratch/lintian.log" 2>&1 || lintian_status=$?
grep -v "running with root privileges" "$scratch/lintian.log" || true
[ "$lintian_status" = 0 ] || { echo "lintian reports errors"; exit 1; }
echo "packages: $(cd "$scratch" && echo *.deb); lintian reports no error"

mkdir "$scratch/root"
for package in "$scratch"/*.deb; do dpkg -x "$package" "$scratch/root"; done
"$top/scripts/install_check.sh" --root "$scratch/root"

mkdir -p "$top/build/packages"
cp "$scratch"/*.deb "$top/build/packages/"
