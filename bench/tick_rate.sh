#!/usr/bin/env bash
# The fake Windows layer's speed: the whole service fed for 24 virtual hours
# in the host build (ASan + UBSan), in worker ticks (100 ms) per wall second,
# three runs. Arguments: the virtual hours (default 24).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build/host" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$top/build/host" --target tick_rate -j "$(nproc)" >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), load $(cut -d' ' -f1-3 /proc/loadavg)"
for run in 1 2 3; do "$top/build/host/tests/tick_rate" "${1:-24}"; done
