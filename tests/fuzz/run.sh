#!/bin/sh
# Builds the libFuzzer harnesses (clang, ASan, UBSan) and gives each a short
# run over a copy of its seed corpus, after replaying the inputs kept under
# regressions/<harness>/. The checked-in corpus is never grown.
#
#   tests/fuzz/run.sh                 60 s per harness
#   FUZZ_SECONDS=300 tests/fuzz/run.sh
#
# Other settings: FUZZ_BUILD_DIR (build/fuzz), FUZZ_CXX (clang++), FUZZ_CC
# (clang), FUZZ_SLICE (longest single fuzzer process, 15 s: the run is cut
# into fresh processes over one corpus, so that state the fake Windows layer
# keeps between inputs cannot pile up).
# A crash leaves its input under the work directory printed at the end; keep
# it under regressions/<harness>/ so that every later run replays it.
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-60}
slice=${FUZZ_SLICE:-15}
work=$(mktemp -d "${TMPDIR:-/tmp}/asr-fuzz.XXXXXX")

echo "fuzz: building in $build"
if ! cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" \
       -DCMAKE_C_COMPILER="${FUZZ_CC:-clang}" >"$work/configure.log" 2>&1 ||
   ! cmake --build "$build" -j 2 >"$work/build.log" 2>&1; then
  cat "$work/configure.log" "$work/build.log" 2>/dev/null | tail -n 40
  echo "fuzz: 0 passed, 4 failed"
  exit 1
fi

passed=0
failed=0

# run_harness <name> <max_len> <extra libFuzzer options>
run_harness() {
  name=$1
  max_len=$2
  shift 2
  binary="$build/$name"
  corpus="$work/$name/corpus"
  artifacts="$work/$name/artifacts/"
  mkdir -p "$corpus" "$artifacts"
  cp "$here/corpus/$name/"* "$corpus/"
  ok=1

  regressions="$here/regressions/$name"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
    if "$binary" "$@" "$regressions"/* >"$work/$name/replay.log" 2>&1; then
      echo "fuzz: $name: replayed $(ls "$regressions" | wc -l) kept inputs"
    else
      echo "fuzz: $name: a kept input fails again:"
      grep -v "^    #[0-9]" "$work/$name/replay.log" | grep -E "ERROR|SUMMARY|runtime error|fuzz_|Running:" | tail -n 20
      ok=0
    fi
  fi

  left=$seconds
  round=0
  while [ "$ok" = 1 ] && [ "$left" -gt 0 ]; do
    round=$((round + 1))
    now=$slice
    [ "$now" -gt "$left" ] && now=$left
    log="$work/$name/fuzz-$round.log"
    if ! "$binary" "$@" -max_len="$max_len" -max_total_time="$now" -timeout=30 \
         -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1; then
      echo "fuzz: $name: crash in round $round:"
      grep -v '^    #[0-9]' "$log" | grep -E -A3 "ERROR|runtime error|fuzz_|SUMMARY|Test unit written" | tail -n 30
      ok=0
    fi
    left=$((left - now))
  done

  if [ "$ok" = 1 ]; then
    runs=0
    for log in "$work/$name"/fuzz-*.log; do
      r=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
      runs=$((runs + ${r:-0}))
    done
    last=$(grep -E "DONE|pulse" "$work/$name/fuzz-$round.log" | tail -n 1 |
           sed -n 's/.*\(cov: [0-9]*\) \(ft: [0-9]*\) \(corp: [^ ]*\).*/\1 \2 \3/p')
    echo "fuzz: $name: passed, $runs inputs in ${seconds} s (${last})"
    passed=$((passed + 1))
  else
    echo "fuzz: $name: FAILED (inputs and logs under $work/$name)"
    failed=$((failed + 1))
  fi
}

# The fake Windows layer keeps its worlds' bookkeeping between inputs, which
# LeakSanitizer would scan after every input; leaks are checked in the two
# harnesses that do not use the fake.
run_harness fuzz_front_end 1024 -detect_leaks=0
run_harness fuzz_decimal 256
run_harness fuzz_error_text 1100 -detect_leaks=0
run_harness fuzz_vm_decoder 2048

echo "fuzz: work directory $work"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" = 0 ]
