#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs (build, tests, console under
# Xvfb), and any further packages named as arguments (the package scripts'
# tools).
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
          libgtest-dev libgmock-dev libcli11-dev libedit-dev xvfb xauth xdotool clang libclang-rt-14-dev
          libssl-dev openssl qt6-websockets-dev liburing-dev nodejs chromium chromium-driver python3-selenium "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
