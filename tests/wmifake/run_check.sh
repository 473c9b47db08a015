#!/usr/bin/env bash
# Checks the fake WMI provider under Wine against bmcsim: wmifake_check.exe
# walks the documented call sequence and the refusals WMI makes (its own
# ok/FAIL lines count here), then each fault of wmifake.ini and each bmcsim
# fault that reaches a WMI client, and finally the same client run as a
# service by Wine's service manager.
#
# usage: tests/wmifake/run_check.sh [HOST_BUILD_DIR] [WIN_BUILD_DIR]
#   defaults: build/host and build/win32 (build/win64 where this machine
#   cannot run 32-bit programs) under the repository root.
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine_env.sh"
wine_env_builds "${1:-}" "${2:-}" tests/wmifake/wmifake.dll tests/wmifake/wmifake_check.exe
dll="$win_build/tests/wmifake/wmifake.dll"
client="$win_build/tests/wmifake/wmifake_check.exe"
wine_env_init "$win_build/wmifake-check"
passed=0
failed=0
start_ns=$(date +%s%N)

ok() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: expected $2, got $3"; failed=$((failed + 1)); }

# expect WHAT STEP PATTERN: the probe's line for STEP matches PATTERN (grep -E).
expect() {
  local got
  got=$(grep -m1 "^$2 " "$work/probe.out")
  if echo "$got" | grep -Eq -- "$3"; then
    ok "$1"
  else
    fail "$1" "'$2 ... $3'" "'${got:-no $2 line}'"
    sed 's/^/     | /' "$work/probe.out"
  fi
}

# expect_ms WHAT STEP LOW HIGH: the step's time in ms lies in [LOW, HIGH].
expect_ms() {
  local ms
  ms=$(grep -m1 "^$2 " "$work/probe.out" | sed -n 's/.* ms=\([0-9]*\).*/\1/p')
  if [ -n "$ms" ] && [ "$ms" -ge "$3" ] && [ "$ms" -le "$4" ]; then
    ok "$1 ($ms ms)"
  else
    fail "$1" "$3..$4 ms" "${ms:-no time}"
  fi
}

# settings LINE...: rewrites wmifake.ini in one step, as a test does under a
# running client.
settings() {
  {
    printf 'bmc=127.0.0.1:%s\r\nlog=C:\\wmifake.log\r\n' "$port"
    for line in "$@"; do printf '%s\r\n' "$line"; done
  } >"$system32/wmifake.ini.tmp"
  mv "$system32/wmifake.ini.tmp" "$system32/wmifake.ini"
}

probe() {
  echo "== probe: $*" >>"$work/wine.err"
  timeout 60 wine "$work/bin/wmifake_check.exe" probe "$@" 2>>"$work/wine.err" | tr -d '\r' >"$work/probe.out"
}

mkdir -p "$work/bin"
cp "$client" "$work/bin/"
wine_env_start
if bash "$root/tests/wmifake/install.sh" "$dll" "$port" 'log=C:\wmifake.log'; then
  ok "install.sh registers the fake"
else
  fail "install.sh registers the fake" "status 0" "status $?"
fi
inproc=$(wine reg query 'HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32' 2>/dev/null | tr -d '\r')
if echo "$inproc" | grep -q 'wmifake.dll' && echo "$inproc" | grep -q 'ThreadingModel.*Both'; then
  ok "the locator's InprocServer32 names wmifake.dll, threading model Both"
else
  fail "the locator's InprocServer32" "wmifake.dll, Both" "'$inproc'"
fi

echo "== the call sequence and WMI's refusals"
timeout 120 wine "$work/bin/wmifake_check.exe" sequence 2>>"$work/wine.err" | tr -d '\r' >"$work/sequence.out"
grep -v 'check(s) failed$' "$work/sequence.out"
passed=$((passed + $(grep -c '^ok ' "$work/sequence.out")))
failed=$((failed + $(grep -c '^FAIL ' "$work/sequence.out")))
if grep -q '^0 check(s) failed' "$work/sequence.out"; then
  ok "the client ran to its end"
else
  fail "the client ran to its end" "'0 check(s) failed'" "'$(tail -n 1 "$work/sequence.out")'"
fi
if grep -q '"cmd":"24","name":"set watchdog","data":"44010010b80b"' "$journal"; then
  ok "bmcsim's journal has the Set Watchdog Timer sent through WMI"
else
  fail "bmcsim's journal" "a Set with 44010010b80b" "none"
fi

echo "== healthy"
probe
expect "Get Device ID through the fake" device-id "hr=0x00000000 cc=00 size=12 data=00"
if grep -q 'SetBlanket .* impersonation=3' "$system32/../../wmifake.log"; then
  ok "CoSetProxyBlanket reached the fake (impersonate)"
else
  fail "CoSetProxyBlanket reached the fake" "a SetBlanket line in the log" "none"
fi

echo "== faults chosen in wmifake.ini"
settings fault=no_class
probe
expect "no_class: Next reports WBEM_E_INVALID_CLASS" next "hr=0x80041010 count=0"
settings fault=no_instance
probe
expect "no_instance: WBEM_S_FALSE and none" next "hr=0x00000001 count=0"
settings fault=inactive
probe
expect "inactive: one instance, Active FALSE" next "hr=0x00000000 count=1 active=0"
settings fault=access_denied
probe
expect "access_denied: Next reports WBEM_E_ACCESS_DENIED" next "hr=0x80041003 count=0"
settings fault=connect_denied
probe
expect "connect_denied: ConnectServer E_ACCESSDENIED" connect "hr=0x80070005"
settings fault=wmi_down
probe
expect "wmi_down: ConnectServer ERROR_SERVICE_DISABLED" connect "hr=0x80070422"
settings "fault=slow_connect 1000"
probe
expect "slow_connect 1000: ConnectServer succeeds" connect "hr=0x00000000"
expect_ms "... after the wait" connect 900 2500
settings "fault=slow_enum 3000"
probe
expect "slow_enum 3000: Next for 2 s gives WBEM_S_TIMEDOUT" next "hr=0x00040004 count=0"
settings "fault=slow_enum 1000"
probe
expect "slow_enum 1000: Next for 2 s gets the instance" next "hr=0x00000000 count=1"
expect_ms "... once it arrived" next 900 2000
settings fault=no_locator
probe
expect "no_locator: CoCreateInstance REGDB_E_CLASSNOTREG" create "hr=0x80040154"
settings "fault=exec_fail 80041008"
probe
expect "exec_fail: ExecMethod fails with the given code" device-id "hr=0x80041008"
settings "fault=stall 1500" count=1
probe
expect "stall 1500, count=1: the first ExecMethod fails" device-id "hr=0x80041001"
expect_ms "... after the stall" device-id 1400 3000
expect "... the next one is served" get-watchdog "hr=0x00000000 cc=00 size=9"
settings "fault=stall"
(sleep 1.5 && settings fault=none) &
changer=$!
probe
wait "$changer"
expect "stall until the file changes: fails" device-id "hr=0x80041001"
expect_ms "... once the fault was lifted" device-id 1300 4000
expect "... and the next is served" get-watchdog "hr=0x00000000 cc=00"

echo "== bmcsim's faults through the fake"
settings
[ "$(bmcsim_control 'cc 1 c0')" = ok ] || fail "bmcsim control" "ok" "no answer"
probe
expect "busy BMC: CompletionCode C0h, ResponseData c0, size 1" device-id "hr=0x00000000 cc=c0 size=1 data=c0 "
settings reply_timeout_ms=500
[ "$(bmcsim_control 'noreply 1')" = ok ] || fail "bmcsim control" "ok" "no answer"
probe
expect "no reply from the BMC: ExecMethod fails" device-id "hr=0x80041001"
expect_ms "... after the driver's 500 ms" device-id 450 1500
expect "... the next is served" get-watchdog "hr=0x00000000 cc=00"

settings
bmcsim_drop probe 1500
expect "bmcsim drops the connection between two requests: the first served" device-id "hr=0x00000000 cc=00"
expect "... and the second (the fake connects again)" get-watchdog "hr=0x00000000 cc=00"

echo "== as a service started by the service manager"
settings
cp "$client" "$WINEPREFIX/drive_c/wmifake_check.exe"
wine sc create wmifakecheck binpath= 'C:\wmifake_check.exe service C:\service.out' type= own \
  start= demand >>"$work/wine.err" 2>&1
wine sc start wmifakecheck >>"$work/wine.err" 2>&1
for _ in $(seq 1 100); do
  grep -q '^get-watchdog ' "$WINEPREFIX/drive_c/service.out" 2>/dev/null && break
  sleep 0.1
done
tr -d '\r' <"$WINEPREFIX/drive_c/service.out" >"$work/probe.out" 2>/dev/null
expect "the service's CoCreateInstance gets the fake" create "hr=0x00000000"
expect "... and its requests reach bmcsim" device-id "hr=0x00000000 cc=00 size=12"

echo "== total $(since "$start_ns") s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
