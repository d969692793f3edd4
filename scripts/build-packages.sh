#!/usr/bin/env bash
# Builds the Debian packages from debian/ into build/packages/: kelvra-serverd,
# kelvra-server, kelvra-client, kelvra-bench and their -dbgsym debug symbols.
# Compiles in build/deb/ (kept between runs, so a second build only compiles
# what changed), with Debian's hardening flags and without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh debhelper dpkg-dev
dpkg-checkbuilddeps

project=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
package=$(dpkg-parsechangelog -S Version)
if [ "$project" != "$package" ]; then
    echo "debian/changelog is at $package but CMakeLists.txt at $project: add a changelog entry" >&2
    exit 1
fi

# dh skips a build it thinks is done; ninja decides what is really stale.
rm -rf debian/.debhelper debian/debhelper-build-stamp debian/files build/packages
mkdir -p build/packages
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}"
debian/rules build
debian/rules binary
rm -rf debian/.debhelper debian/debhelper-build-stamp debian/files debian/*.substvars \
       debian/*.debhelper.log debian/*.debhelper debian/kelvra-serverd debian/kelvra-server debian/kelvra-client \
       debian/kelvra-bench debian/tmp
ls -1 build/packages
