# Sourced by the setup, build, test and demo scripts. A phase is one step of
# theirs (the packages, one build, one stage of the demo): it prints one line,
# keeps the step's whole output in a log file under build/logs/, and on a
# failure prints the log's tail and its path, then ends the script.
#
#   phase NAME LOG CMD...   runs CMD... with its output in build/logs/LOG
#
# A new step is one more phase line in the script that owns it.

asr_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
asr_logs="$asr_top/build/logs"

phase() {
  local name=$1 log="$asr_logs/$2" t0=$SECONDS rc=0 flags=$-
  shift 2
  mkdir -p "$asr_logs"
  printf '%s: ' "$name"
  # In a subshell of its own, outside any "||", so that errexit holds within
  # a CMD that is a shell function.
  set +e
  (
    set -e
    "$@"
  ) >"$log" 2>&1 </dev/null
  rc=$?
  case $flags in *e*) set -e ;; esac
  if [ "$rc" -eq 0 ]; then
    echo "ok, $((SECONDS - t0)) s (${log#"$asr_top"/})"
    return 0
  fi
  echo "FAILED after $((SECONDS - t0)) s (exit status $rc)"
  echo "---- last 30 lines of $log:"
  tail -n 30 "$log"
  echo "---- the whole output: $log"
  exit "$rc"
}
