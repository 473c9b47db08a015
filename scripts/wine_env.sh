# shellcheck shell=bash
# Sourced by the demo, which runs the Windows build under Wine against bmcsim
# (the tests do the same in Python, tests/e2e/harness.py). It sources
# wine_select.sh, then gives one work folder per run, a fresh prefix in it and
# bmcsim, and the clean-up on any exit: bmcsim stopped, the prefix's
# wineserver ended, the prefix deleted, and the rest of the folder (logs,
# journals) deleted too unless the script exits non-zero.
#
#   wine_env_init TEMPLATE   $work = mktemp -d TEMPLATE.XXXXXX; exports the
#                            Wine variables for the prefix $work/prefix (not
#                            made yet), whose system folder is $system32
#   wine_env_boot            makes the prefix and keeps one wineserver for the
#                            whole run, so that Wine commands do not race its exit
#   bmcsim_start BIN JOURNAL [PORT]
#                            starts bmcsim with that journal on PORT or a free
#                            port, its output in $work/bmcsim.log; sets sim_pid,
#                            port and control_port from its listen entry
#   bmcsim_stop              stops the bmcsim that bmcsim_start started
#   bmcsim_control LINE      one line to bmcsim's control port; prints the answer

. "$(dirname "${BASH_SOURCE[0]}")/wine_select.sh"

sim_pid=""

wine_env_init() {
  work=$(mktemp -d "$1.XXXXXX")
  export WINEPREFIX="$work/prefix" WINEARCH=$ASR_WINEARCH WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  system32="$WINEPREFIX/drive_c/windows/system32"
  trap wine_env_cleanup EXIT
  trap 'exit 130' INT TERM
}

wine_env_cleanup() {
  local rc=$?
  set +e
  bmcsim_stop
  [ -d "$WINEPREFIX" ] && timeout 30 wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
  if [ "$rc" -eq 0 ]; then rm -rf "$work"; else echo "logs kept in $work"; fi
}

wine_env_boot() {
  wineboot --init
  timeout 120 wineserver -w
  wineserver -p
}

bmcsim_start() {
  local listen=""
  "$1" --port "${3:-0}" --control-port 0 --journal "$2" >>"$work/bmcsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    listen=$(sed -n '/"kind":"listen"/{s/.*"port":\([0-9]*\),"control_port":\([-0-9]*\).*/\1 \2/p;q}' \
      "$2" 2>/dev/null || true)
    [ -n "$listen" ] && break
    sleep 0.05
  done
  if [ -z "$listen" ]; then
    echo "bmcsim did not start; the end of $work/bmcsim.log:"
    tail -n 20 "$work/bmcsim.log"
    return 1
  fi
  read -r port control_port <<<"$listen"
}

bmcsim_stop() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

bmcsim_control() {
  local answer=""
  exec 3<>"/dev/tcp/127.0.0.1/$control_port" || return 1
  printf '%s\n' "$1" >&3
  read -r -t 3 answer <&3 || true
  exec 3>&-
  echo "$answer"
}
