#!/usr/bin/env bash
# Sets up, builds, and runs the timing benchmark under Wine against bmcsim
# (about 12 minutes with the defaults); prints one table and writes
# build/bench/results.json. Arguments go to run_bench.py.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
ASR_TEST_VEHICLES=ON bash scripts/build.sh
. scripts/wine_select.sh
exec /usr/bin/python3 bench/run_bench.py "$@"
