#!/usr/bin/env bash
# Installs every Debian package that the builds and tests need. Idempotent;
# run as root on a fresh Debian 12 machine. Prints one line; the package
# manager's output goes to build/logs/setup.log.
set -euo pipefail
. "$(dirname "$0")/phase.sh"

packages=(
  cmake g++ make git libgtest-dev libgmock-dev googletest clang clang-format libclang-rt-14-dev
  procps
  g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine32:i386 wine64
  openipmi ipmitool
  python3-pefile
  wixl msitools
)

install_missing() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "all ${#packages[@]} packages present"
    return 0
  fi
  echo "installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index (exit 100) while the others are
  # fresh: the install still finds every package in what was fetched.
  apt-get update -q || echo "apt-get update: some index failed; installing from the lists fetched"
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

phase "packages" setup.log install_missing
