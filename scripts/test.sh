#!/usr/bin/env bash
# Sets up, builds both targets and runs every test: unit tests under ASan and
# UBSan, the unit tests again under TSan (label race), the Windows build's
# checks, the stand-in library's and the fake WMI provider's checks and the
# end-to-end tests under Wine (one harness, tests/e2e), and the fuzzers' short
# runs. Setup and builds print one line each (their output in build/logs/);
# the tests print their own results.
set -euo pipefail
. "$(dirname "$0")/phase.sh"
top=$asr_top
cd "$top"
jobs=$(nproc)

bash scripts/setup.sh
ASR_TEST_VEHICLES=ON bash scripts/build.sh

echo "== unit tests (host build, ASan + UBSan)"
ctest --test-dir build/host --output-on-failure -j "$jobs" -LE soak
echo "fault matrix written by the unit tests: build/host/tests/fault_matrix.md"

echo "== a month on virtual time (host build, ASan + UBSan; ASR_SOAK_DAYS=365 for a year)"
(cd build/host/tests && ./soak)
echo "soak table: build/host/tests/soak_table.md"

echo "== race tests (host build, ThreadSanitizer)"
build_tsan() {
  cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DASR_SANITIZE=thread
  cmake --build build/tsan -j "$jobs"
}
phase "build tsan (unit tests under ThreadSanitizer)" build-tsan.log build_tsan
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L race

echo "== Windows build"
/usr/bin/python3 tests/windows_build/check_pe.py build/win32/vyriasrw.exe \
  build/win32/driverlib/qd4probe.exe build/win32/packaging/asrmsi.dll \
  build/win32/driverlib/vyrqd4w.dll
/usr/bin/python3 packaging/check_msi.py x86 build/win32/vyriasrw.msi build/win32
/usr/bin/python3 packaging/check_msi.py x64 build/win64/vyriasrw.msi build/win64

echo "== the stand-in library and the fake WMI provider under Wine against bmcsim"
bash tests/e2e/run_all.sh --only library --only wmifake

echo "== end to end under Wine"
bash tests/e2e/run_all.sh --skip library --skip wmifake

echo "== fuzzers"
bash tests/fuzz/run.sh
