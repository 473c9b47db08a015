#!/usr/bin/env bash
# Builds both targets: the host build with the unit tests (ASan and UBSan) in
# build/host, and the Windows executable and stand-in library in build/win32,
# with its Windows Installer package build/win32/vyriasrw.msi.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

cmake -S "$top" -B "$top/build/host" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$top/build/host" -j "$jobs"

cmake -S "$top" -B "$top/build/win32" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$top/build/win32" -j "$jobs"

# The same sources for 64-bit Windows: only for running the end-to-end tests
# under wine64 on machines that cannot run 32-bit programs.
cmake -S "$top" -B "$top/build/win64" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build "$top/build/win64" -j "$jobs"

# The Windows Installer packages (wixl): the shipped 32-bit one, and a 64-bit
# one from build/win64 for the end-to-end tests under wine64.
bash "$top/packaging/build_msi.sh" x86 "$top/build/win32" "$top/build/win32/vyriasrw.msi"
bash "$top/packaging/build_msi.sh" x64 "$top/build/win64" "$top/build/win64/vyriasrw.msi"
