#!/usr/bin/env bash
# Sets up, builds, and runs the timing benchmark under Wine against bmcsim
# (about 12 minutes with the defaults), after the preshutdown's figure and the
# feed loop's cadence with health checks on the host build's virtual time (a
# few seconds each); prints the tables and writes
# build/bench/results.json. Arguments go to run_bench.py.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
ASR_TEST_VEHICLES=ON bash scripts/build.sh
# Preshutdown control to STOPPED: Wine never sends the control, so it is
# measured on the host build, over the fake Windows' virtual time.
"$top/build/host/bench/preshutdown" 1000
echo
# The feed loop's cadence with health checks that hang, on virtual time too.
"$top/build/host/bench/health_cadence" 5
echo
. scripts/wine_select.sh
exec /usr/bin/python3 bench/run_bench.py "$@"
