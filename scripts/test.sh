#!/usr/bin/env bash
# Sets up, builds both targets and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
bash scripts/build.sh

echo "== unit tests (host build, ASan + UBSan)"
ctest --test-dir build/host --output-on-failure -j "$(nproc)"
