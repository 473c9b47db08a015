#!/usr/bin/env bash
# A one-minute tour: the real vyriasrw.exe runs as a Windows service under Wine
# and keeps a (simulated) BMC's watchdog timer from running out.
#
#   1. installs the packages and builds both targets (scripts/setup.sh, build.sh;
#      one line each, their output in build/logs/)
#   2. starts bmcsim, our BMC simulator, on a free loopback port
#   3. makes a fresh, throwaway Wine prefix with our vyrqd4w.dll in it
#   4. installs the service with a 300 s timeout and shows what the BMC sees:
#      the timer armed, its countdown, a reset about every 10.1 s
#   5. stops the service (the timer is disarmed first) and removes it
#
# Everything it starts is stopped again, and the prefix deleted, on any exit
# (scripts/wine_env.sh); after a failure its logs stay, and a line says where.
# usage: bash scripts/demo.sh [WATCH_SECONDS]   (default 22: two resets)
set -euo pipefail
. "$(dirname "$0")/phase.sh"
top=$asr_top
cd "$top"
watch_s=${1:-22}
timeout_s=300
py=/usr/bin/python3

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
step_t0=$(date +%s)

say "1/5 packages and builds"
bash scripts/setup.sh
bash scripts/build.sh
. scripts/wine_env.sh
win=${ASR_WIN_BUILD#"$top"/}
echo "built: $win/vyriasrw.exe, $win/driverlib/vyrqd4w.dll, build/host/bmcsim/bmcsim"

wine_env_init "$top/build/demo"
journal="$work/journal.jsonl"

# Small formatters for bmcsim's answers, written where the demo keeps its files.
cat >"$work/status.py" <<'EOF'
import json, sys
s = json.loads(sys.stdin.read()[3:])  # "ok {...}"
state = "RUNNING" if s["running"] else "stopped"
print("   BMC watchdog: %-8s use %-7s action %-10s countdown %6.1f s of %.1f s"
      % (state, s["use"], s["action"], s["present"] / 10, s["initial"] / 10))
EOF
cat >"$work/journal.py" <<'EOF'
import json, sys
names = {"25": "Get Watchdog Timer", "24": "Set Watchdog Timer", "22": "Reset Watchdog Timer"}
t0 = int(sys.argv[1])
for line in sys.stdin:
    e = json.loads(line)
    k = e["kind"]
    at = "   +%7.3f s  " % ((e["t"] - t0) / 1000)
    if k == "request":
        what, d = names.get(e["cmd"], e.get("name", e["cmd"])), e["data"]
        if e["cmd"] == "24" and len(d) == 12:
            count = int(d[10:12] + d[8:10], 16)
            if int(d[0:2], 16) & 0x40:
                what += ": arm, hard reset on expiry, count %d x 100 ms = %.1f s" % (count, count / 10)
            else:
                what += ": DISARM (stop the timer; count %d kept for a later start)" % count
        print(at + "service -> BMC  " + what)
    elif k == "reply" and e["cmd"] == "25":
        running = int(e["data"][0:2] or "0", 16) & 0x40
        print(at + "BMC -> service  the timer is "
              + ("RUNNING (someone else owns it)" if running else "stopped: free to take"))
    elif k in ("connect", "disconnect", "expiry", "action"):
        print(at + {"connect": "service connected (through vyrqd4w.dll)",
                    "disconnect": "service disconnected",
                    "expiry": "TIMER EXPIRED",
                    "action": "BMC action: " + e.get("action", "")}[k])
EOF

# The BMC's watchdog as bmcsim's control port reports it, in words.
show_timer() { bmcsim_control status | "$py" "$work/status.py"; }

# Journal entries from line $1 on, one readable line each, times from the
# service's first connect.
show_journal() {
  local t0
  t0=$(grep -m1 '"kind":"connect"' "$journal" | sed 's/.*"t":\([0-9]*\).*/\1/')
  tail -n +"$1" "$journal" | "$py" "$work/journal.py" "${t0:-0}"
}

say "2/5 bmcsim, the BMC simulator"
bmcsim_start build/host/bmcsim/bmcsim "$journal"
echo "   listening on 127.0.0.1:$port (VM protocol), control port $control_port, journal $journal"
show_timer

say "3/5 a fresh Wine prefix"
t0=$(date +%s)
phase "   wineboot" demo-wineboot.log wine_env_boot
# The first command brings up the prefix's services; their event-log entries
# arrive on its stderr.
WINEDEBUG=-all,err+eventlog wine cmd /c exit 2>"$work/services.err" </dev/null
cp "$ASR_WIN_BUILD/driverlib/vyrqd4w.dll" "$system32/"
printf 'transport=vm\r\nbmc=127.0.0.1:%s\r\n' "$port" >"$system32/vyrqd4w.ini"
echo "   $WINEPREFIX ready in $(($(date +%s) - t0)) s"
echo "   C:\\windows\\system32\\vyrqd4w.dll installed, vyrqd4w.ini says: transport=vm, bmc=127.0.0.1:$port"

say "4/5 install the service with a $timeout_s s timeout"
cp "$ASR_WIN_BUILD/vyriasrw.exe" "$work/"
echo "   \$ vyriasrw.exe -install $timeout_s"
echo x | timeout 60 wine "$work/vyriasrw.exe" -install "$timeout_s" | tr -d '\r' | sed 's/^/   | /'
sleep 1
echo "   \$ sc query vyrq4asr"
timeout 30 wine sc query vyrq4asr | tr -d '\r' | grep -E 'STATE|EXIT_CODE' | sed 's/^ */   | /'
echo
echo "   What the BMC saw:"
show_journal 2
show_timer
echo
echo "   Watching for $watch_s s: the countdown runs down, a reset puts it back."
seen=$(wc -l <"$journal")
end=$(($(date +%s) + watch_s))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 3
  now=$(wc -l <"$journal")
  if [ "$now" -gt "$seen" ]; then
    show_journal "$((seen + 1))"
    seen=$now
  fi
  show_timer
done

say "5/5 stop and remove"
mark=$(($(wc -l <"$journal") + 1))
echo "   \$ sc stop vyrq4asr"
timeout 30 wine sc stop vyrq4asr >/dev/null
for _ in $(seq 1 20); do
  timeout 30 wine sc query vyrq4asr | grep -q STOPPED && break
  sleep 0.5
done
timeout 30 wine sc query vyrq4asr | tr -d '\r' | grep -E 'STATE|WIN32_EXIT_CODE' | sed 's/^ */   | /'
show_journal "$mark"
show_timer
echo "   \$ vyriasrw.exe -remove"
echo x | timeout 60 wine "$work/vyriasrw.exe" -remove | tr -d '\r' | sed 's/^/   | /'
errors=$(grep -c 'err:eventlog' "$work/services.err" || true)
echo "   event-log errors written by the service: $errors"

say "done in $(($(date +%s) - step_t0)) s (bash tests/e2e/run_all.sh runs the full end-to-end checks)"
