#!/usr/bin/env bash
# Builds both targets: the host build with the unit tests (ASan and UBSan) in
# build/host, the Windows executable and stand-in library in build/win32 (and
# build/win64), and the Windows Installer packages. One line per build; each
# build's output goes to build/logs/build-NAME.log.
#
# ASR_TEST_VEHICLES=ON also builds the tests' Windows tools (the fake WMI
# provider, svcctl), as the test command and the benchmark do; OFF leaves them
# out; unset keeps each Windows build directory's choice (OFF in a new one).
set -euo pipefail
. "$(dirname "$0")/phase.sh"
top=$asr_top
jobs=$(nproc)
vehicles=()
if [ -n "${ASR_TEST_VEHICLES:-}" ]; then
  vehicles=(-DASR_TEST_VEHICLES="$ASR_TEST_VEHICLES")
fi

# configure_and_build DIR CMAKE_OPTIONS...
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$top" -B "$dir" "$@"
  cmake --build "$dir" -j "$jobs"
}

phase "build host (ASan + UBSan, unit tests, bmcsim)" build-host.log \
  configure_and_build "$top/build/host" -DCMAKE_BUILD_TYPE=Debug
phase "build win32 (vyriasrw.exe, vyrqd4w.dll)" build-win32.log \
  configure_and_build "$top/build/win32" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" "${vehicles[@]}"
# The same sources for 64-bit Windows: only for running the end-to-end tests
# under wine64 on machines that cannot run 32-bit programs.
phase "build win64 (test vehicle for wine64)" build-win64.log \
  configure_and_build "$top/build/win64" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake" "${vehicles[@]}"

# The Windows Installer packages (wixl): the shipped 32-bit one, and a 64-bit
# one from build/win64 for the end-to-end tests under wine64.
build_packages() {
  bash "$top/packaging/build_msi.sh" x86 "$top/build/win32" "$top/build/win32/vyriasrw.msi"
  bash "$top/packaging/build_msi.sh" x64 "$top/build/win64" "$top/build/win64/vyriasrw.msi"
}
phase "package vyriasrw.msi (win32, win64)" build-msi.log build_packages
