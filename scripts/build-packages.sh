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

# debhelper's leftovers: dh skips a build it thinks is done (ninja decides what
# is really stale), and old snippets would be added to the scripts again.
tidy() {
    rm -rf debian/.debhelper debian/debhelper-build-stamp debian/files debian/*.substvars \
           debian/*.debhelper.log debian/*.debhelper debian/tmp \
           debian/kelvra-serverd debian/kelvra-server debian/kelvra-client debian/kelvra-bench
}
tidy
rm -rf build/packages
mkdir -p build/packages
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc) terse}"
debian/rules build
debian/rules binary
tidy
ls -1 build/packages
