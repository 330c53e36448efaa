#!/usr/bin/env bash
# Builds the release preset and makes the Debian package from it:
# build/release/quillon_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release
cd build/release
cpack -G DEB
ls -1 "$PWD"/quillon_*_amd64.deb
