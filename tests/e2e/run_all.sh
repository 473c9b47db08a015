#!/usr/bin/env bash
# Every test under Wine: vyriasrw.exe under Wine's service manager with our
# vyrqd4w.dll against bmcsim, the hang, conformance against ipmi_sim, the
# library driven by qd4probe and the fake WMI provider's own check.
# Needs both builds (ASR_TEST_VEHICLES=ON bash scripts/build.sh). Prints "ok ..." / "FAIL ..."
# lines and ends with "e2e: N passed, N failed"; exits non-zero on any failure.
# Options: --only GROUP, --skip GROUP (repeatable; the groups are listed in run_e2e.py).
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/wine_select.sh
. "$here/../../scripts/wine_select.sh"
export PYTHONDONTWRITEBYTECODE=1  # keep the source tree clean
exec /usr/bin/python3 -u "$here/run_e2e.py" "$@"
