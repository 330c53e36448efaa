#!/usr/bin/env bash
# Builds the programs with the package preset (release, no tests) and makes
# the Debian package from them: build/package/quillon_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset package >/dev/null
cmake --build --preset package
cd build/package
cpack -G DEB
ls -1 "$PWD"/quillon_*_amd64.deb
