#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server console.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
exec build/bin/kelvra-server
