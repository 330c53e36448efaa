#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests and the benchmarks
# need. Safe to run again; asks no questions.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang-14 libclang-rt-14-dev clang-format-14
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl
  libxml2-dev zlib1g-dev
  cabextract gcab
  pcscd libpcsclite-dev opensc opensc-pkcs11 softhsm2 libp11-kit-dev
  # The clients the end-to-end tests drive: ssh (the tests start an sshd of
  # their own; Debian also enables the system's ssh service, which
  # `systemctl disable --now ssh` turns off), NSS's tools and GnuTLS's p11tool.
  openssh-client openssh-server libnss3-tools gnutls-bin
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins fonts-dejavu-core desktop-file-utils
  # The Debian package: man pages from --help, and the fresh-tree check.
  help2man debootstrap
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"
