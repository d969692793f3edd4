#!/usr/bin/env bash
# Builds the Debian package from the normal build and checks what it holds;
# with --install (root only, for CI on a throw-away machine) it also installs
# it, runs the headless server's --version and removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
(cd build && cpack -G DEB >/dev/null)
deb=$(ls -t build/kelvra-chat-server_*.deb | head -n1)
listing=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
expected=(
    ./usr/bin/kelvra-server ./usr/bin/kelvra-serverd ./usr/bin/kelvra-client ./usr/bin/kelvra-bench
    ./usr/bin/kelvra-admin
    ./usr/share/applications/kelvra-server.desktop
    ./usr/share/icons/hicolor/scalable/apps/kelvra-server.svg
    ./usr/share/icons/hicolor/32x32/apps/kelvra-server.png
    ./usr/share/icons/hicolor/48x48/apps/kelvra-server.png
    ./usr/share/icons/hicolor/64x64/apps/kelvra-server.png
    ./usr/share/icons/hicolor/128x128/apps/kelvra-server.png
    ./usr/lib/systemd/system/kelvra-serverd.service
    ./usr/share/man/man1/kelvra-server.1 ./usr/share/man/man1/kelvra-serverd.1
    ./usr/share/man/man1/kelvra-client.1 ./usr/share/man/man1/kelvra-bench.1
    ./usr/share/man/man1/kelvra-admin.1
)
missing=0
for f in "${expected[@]}"; do
    grep -qxF "$f" <<<"$listing" || { echo "package lacks $f"; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1
echo "package: $(basename "$deb") holds every expected file"

if [ "${1:-}" = "--install" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "--install needs root"; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y "./$deb" >/dev/null
    kelvra-serverd --version
    kelvra-admin --version
    getent passwd kelvra >/dev/null || { echo "no service user"; exit 1; }
    dpkg -r kelvra-chat-server >/dev/null
    [ ! -e /usr/bin/kelvra-serverd ] || { echo "kelvra-serverd left behind"; exit 1; }
    echo "package: installs, runs and removes cleanly"
fi
