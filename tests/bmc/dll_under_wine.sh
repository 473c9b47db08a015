#!/usr/bin/env bash
# Runs our vyrqd4w.dll under Wine against bmcsim: qd4probe.exe loads it from
# the prefix's system folder, as the service does (a copy beside the probe is
# left alone), or the copy named by --library, and drives Open, Get, Set,
# Reset and Close; the probe's output and
# bmcsim's journal are checked. Also: arguments the probe does not know (it
# must not touch the BMC), settings files it must read or refuse, an expiry
# whose VM reset command the DLL must skip, no BMC listening (Open fails fast), a
# request left unanswered or answered by a reply that does not match it (Send
# fails within its bound), a BMC that keeps sending, a connection
# dropped by the BMC (the next Send connects again) and a BMC restarted with
# its state lost (Sends fail while it is away, then succeed on the same handle).
# Then the in-box transport through the fake WMI provider (tests/wmifake):
# the check, the watchdog sequence, each cause of a failed Open and a stalled
# driver (a bounded wait, then failing fast until the stalled call returns).
#
# usage: tests/bmc/dll_under_wine.sh [HOST_BUILD_DIR] [WIN32_BUILD_DIR]
#   defaults: build/host and build/win32 (build/win64 where this machine
#   cannot run 32-bit programs) under the repository root.
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine_env.sh"
wine_env_builds "${1:-}" "${2:-}" driverlib/vyrqd4w.dll driverlib/qd4probe.exe \
  tests/wmifake/wmifake.dll
wine_env_init "$win_build/dll-wine-check"
failures=0
start_ns=$(date +%s%N)

check() {  # check "what" command...
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}

# Line of the probe output for a step: "<step> rc=.. cc=.. len=.. data=.. ms=..".
step() { grep -m1 "^$1 " "$work/probe.out"; }
step_has() { step "$1" | grep -q -- "$2"; }
step_ms() { step "$1" | sed -n 's/.* ms=\([0-9]*\).*/\1/p'; }
out_has() { grep -qF -- "$1" "$work/probe.out"; }
out_has_re() { grep -q -- "$1" "$work/probe.out"; }
journal_has() { grep -c -- "$1" "$journal" | grep -qv '^0$'; }

run_probe() {  # run_probe ARGS...: output in $work/probe.out, seconds in $probe_s, status in $probe_rc
  local t0
  t0=$(date +%s%N)
  echo "== qd4probe $*" >>"$work/wine.err"
  timeout 60 wine "$work/bin/qd4probe.exe" "$@" 2>>"$work/wine.err" | tr -d '\r' >"$work/probe.out"
  probe_rc=${PIPESTATUS[0]}
  probe_s=$(since "$t0")
  sed 's/^/     | /' "$work/probe.out"
  [ -s "$work/probe.out" ] || { echo "     qd4probe printed nothing; wine said:"; tail -5 "$work/wine.err"; }
}

write_ini() { printf 'transport=vm\r\nbmc=127.0.0.1:%s\r\n' "$1" >"$lib/vyrqd4w.ini"; }

mkdir -p "$work/bin"
cp "$win_build/driverlib/vyrqd4w.dll" "$win_build/driverlib/qd4probe.exe" "$work/bin/"
wine_env_start
# Where the probe loads the library from, as the service does; the copy in
# bin, beside the probe, must stay unloaded.
lib=$system32
cp "$win_build/driverlib/vyrqd4w.dll" "$lib/"
write_ini "$port"
requests_total() { grep -c '"kind":"\(request\|connect\)"' "$journal"; }

echo "== qd4probe changes nothing unless told to"
before=$(requests_total)
for args in "/?" "full" "reconnect" "expire" "time x" "get get" "-test full"; do
  set -f  # "/?" is an argument, not a pattern
  run_probe $args
  set +f
  check "qd4probe $args: usage, exit 3 (got $probe_rc)" \
    bash -c "[ $probe_rc -eq 3 ] && grep -q '^usage: qd4probe ' '$work/probe.out'"
done
check "journal: none of them reached the BMC" test "$(requests_total)" -eq "$before"
check "the timer is untouched: not initialised" grep -q '"initialised":false' <<<"$(bmcsim_control status)"

echo "== full sequence"
run_probe --test full
echo "   wine run: $probe_s s"
check "first line: the mode changes the timer" \
  bash -c "head -1 '$work/probe.out' | grep -q '^qd4probe full: test mode, this changes the BMC.s watchdog timer'"
check "GetQD4Version answers 0 and a version" step_has version "rc=0 value=0001"
check "Open connects, session non-zero" bash -c "grep -q '^open rc=0 session=[1-9]' '$work/probe.out'"
check "Get before any Set: stopped, 8 bytes" step_has get-initial "rc=0 cc=00 len=8 data=00"
check "Reset before Set: 80h" step_has reset-before-set "rc=0 cc=80 len=0"
check "Set enable: 00h" step_has set-enable "rc=0 cc=00 len=0"
check "Get after enable: SMS/OS stopped, count 3000" step_has get-armed "data=04010000b80bb80b"
check "Reset: 00h" step_has reset "rc=0 cc=00"
check "Get after Reset: running bit" step_has get-running "cc=00 len=8 data=4401"
check "Small buffer: 2 bytes written, length 2" step_has get-small-buffer "rc=0 cc=00 len=2 data=4401 "
check "Set disable: 00h" step_has set-disable "rc=0 cc=00"
check "Get after disable: stopped" step_has get-stopped "cc=00 len=8 data=0401"
check "unknown session fails" bash -c "grep '^bad-session ' '$work/probe.out' | grep -qv 'rc=0 '"
check "Close: 0" step_has close "rc=0"
check "second Close fails" bash -c "grep '^close-again ' '$work/probe.out' | grep -qv 'rc=0'"
check "Send after Close fails" bash -c "grep '^after-close ' '$work/probe.out' | grep -qv 'rc=0 '"
check "journal: version command 01" journal_has '"cmd":"version","data":"01"'
check "journal: capabilities power|reset (03)" journal_has '"cmd":"capabilities","data":"03"'
check "journal: Set with 44010010b80b" journal_has '"cmd":"24","name":"set watchdog","data":"44010010b80b"'
check "journal: disconnect on Close" journal_has '"kind":"disconnect","reason":"closed"'

echo "== timed requests (the benchmark's mode), read-only"
run_probe time 3
check "time 3: three Gets timed, none failed" out_has_re '^time n=3 us=[0-9]*,[0-9]*,[0-9]* failed=0$'

echo "== the administrator's check, VM transport"
writes_before=$(grep -c '"name":"\(set\|reset\) watchdog"' "$journal")
run_probe check
check "check exits 0 (got $probe_rc)" test "$probe_rc" -eq 0
check "check names the transport and its address" out_has "transport: VM protocol to a simulator at 127.0.0.1:$port"
check "check decodes Get Device ID" out_has "manufacturer ID 4753 (IANA), product ID 0F02h"
check "check decodes the timer: SMS/OS, stopped, hard reset" \
  bash -c "grep -qF 'timer use SMS/OS, stopped' '$work/probe.out' && grep -qF 'action on expiry: hard reset' '$work/probe.out'"
check "check reads the countdowns in seconds" out_has "initial countdown 256.0 s"
check "check says the timer was not changed" out_has "result: the BMC answered; the timer was not changed"
check "check loaded the system folder's copy, not the one beside it" \
  grep -qiF 'library:   C:\windows\system32\vyrqd4w.dll' "$work/probe.out"
mkdir -p "$WINEPREFIX/drive_c/probe"
cp "$win_build/driverlib/vyrqd4w.dll" "$WINEPREFIX/drive_c/probe/"
printf 'transport=vm\r\nbmc=127.0.0.1:%s\r\n' "$port" >"$WINEPREFIX/drive_c/probe/vyrqd4w.ini"
run_probe --library 'C:\probe\vyrqd4w.dll' check
check "--library names another copy: that file and its settings, exit 0 (got $probe_rc)" \
  bash -c "[ $probe_rc -eq 0 ] && grep -qiF 'library:   C:\probe\vyrqd4w.dll' '$work/probe.out' && grep -qiF 'settings:  C:\probe\vyrqd4w.ini' '$work/probe.out'"
run_probe --library 'C:\nowhere\vyrqd4w.dll' check
check "--library of a missing file: exit 2, the path named (got $probe_rc)" \
  bash -c "[ $probe_rc -eq 2 ] && grep -qF 'cannot load C:\nowhere\vyrqd4w.dll: error 126' '$work/probe.out'"
check "journal: the check sent no Set or Reset" \
  test "$(grep -c '"name":"\(set\|reset\) watchdog"' "$journal")" -eq "$writes_before"
# As Notepad saves it: a byte-order mark, comments after values, blanks around =.
printf '\357\273\277# rig\r\ntransport = vm # simulator\r\nbmc = 127.0.0.1:%s\r\n' "$port" \
  >"$lib/vyrqd4w.ini"
run_probe check
check "check with a BOM and comments exits 0 (got $probe_rc)" \
  bash -c "[ $probe_rc -eq 0 ] && grep -qF 'transport: VM protocol to a simulator at 127.0.0.1:$port' '$work/probe.out'"
# A line the library cannot read fails Open: no falling back to the in-box driver.
printf 'transport=vm\r\nbmc=127.0.0.1:%s;rig\r\n' "$port" >"$lib/vyrqd4w.ini"
run_probe check
check "check with a bad line exits 1 (got $probe_rc)" test "$probe_rc" -eq 1
check "check names the file and the line" out_has 'vyrqd4w.ini, line 2 cannot be read'
check "Open fails with status 11" out_has "OpenQD4Driver: FAILED, status 11: the settings file"
write_ini "$port"

echo "== the administrator's check, in-box transport (Wine's WMI has no IPMI driver)"
mv "$lib/vyrqd4w.ini" "$lib/vm.ini"
run_probe check
check "check exits 1 (got $probe_rc)" test "$probe_rc" -eq 1
check "check names the in-box transport" out_has "transport: in-box, Windows' IPMI driver through WMI"
check "check says the driver is absent (status 8)" out_has "OpenQD4Driver: FAILED, status 8: Windows' IPMI driver is absent"
mv "$lib/vm.ini" "$lib/vyrqd4w.ini"

echo "== expiry: the BMC's reset command reaches the DLL, which skips it"
run_probe --test expire
check "Get after expiry: stopped, SMS/OS flag set" step_has get-expired "rc=0 cc=00 len=8 data=04010010"
check "journal: hard reset delivered" journal_has '"action":"hard reset","vm_cmd":"reset","delivered":true'

echo "== no reply: Send fails within its bound"
[ "$(bmcsim_control 'noreply 1')" = ok ] || { echo "control port did not answer"; failures=$((failures + 1)); }
run_probe get
ms=$(step_ms get)
check "unanswered Get fails with a timeout (rc=5)" step_has get "rc=5 "
check "it fails within 2.5..4 s (took ${ms:-?} ms)" test "${ms:-0}" -ge 2500 -a "${ms:-99999}" -le 4000
check "Close after a timeout: 0" step_has close "rc=0"

echo "== replies that do not match the request are not believed"
printf 'transport=vm\r\nbmc=127.0.0.1:%s\r\nreply_timeout_ms=1000\r\n' "$port" >"$lib/vyrqd4w.ini"
for field in netfn seq cmd; do
  faults_before=$(grep -c "\"fault\":\"badreply\",\"field\":\"$field\"" "$journal")
  bmcsim_control "badreply 1 $field" >/dev/null
  run_probe get
  ms=$(step_ms get)
  check "a reply with the wrong $field: Get fails with 5 at its 1 s bound (${ms:-?} ms)" \
    bash -c "grep -q '^get rc=5 ' '$work/probe.out' && [ '${ms:-0}' -ge 950 ] && [ '${ms:-99999}' -le 1500 ]"
  check "journal: bmcsim sent it" \
    test "$(grep -c "\"fault\":\"badreply\",\"field\":\"$field\"" "$journal")" -gt "$faults_before"
done

echo "== a BMC that keeps sending does not hold a request past its bound"
bmcsim_control "stream 8000" >/dev/null
run_probe drop
for name in get get-after-pause; do
  ms=$(step_ms "$name")
  check "$name during the stream returns within the 1 s bound (${ms:-?} ms, $(step "$name" | cut -d' ' -f2))" \
    test "${ms:-99999}" -le 1500
done
bmcsim_control clear >/dev/null
run_probe get
check "after the stream a Get works" step_has get "rc=0 cc=00 len=8"
write_ini "$port"

echo "== connection dropped by the BMC"
versions_before=$(grep -c '"cmd":"version"' "$journal")
bmcsim_drop run_probe drop
check "Get before the drop: 0" step_has get "rc=0 cc=00"
check "Get after the drop connects again: 0" step_has get-after-pause "rc=0 cc=00"
check "journal: the probe connected twice" \
  test "$(grep -c '"cmd":"version"' "$journal")" -eq $((versions_before + 2))

echo "== BMC restarted on the same port with its state lost"
journal2="$work/journal2.jsonl"
sets_before=$(grep -c '"name":"set watchdog"' "$journal")
timeout 60 wine "$work/bin/qd4probe.exe" --test reconnect 2>>"$work/wine.err" | tr -d '\r' >"$work/probe.out" &
probe_pid=$!
for _ in $(seq 1 200); do
  [ "$(grep -c '"name":"set watchdog"' "$journal")" -gt "$sets_before" ] && break
  sleep 0.05
done
sleep 0.5
bmcsim_stop
sleep 1.5
bmcsim_start "$bmcsim" "$journal2" "$port"
wait "$probe_pid"
sed 's/^/     | /' "$work/probe.out"
session=$(sed -n 's/^open rc=0 session=\([0-9]*\).*/\1/p' "$work/probe.out")
polls=$(grep -c '^poll-' "$work/probe.out")
failed_polls=$(grep -c '^poll-.* rc=[1-9]' "$work/probe.out")
slowest=$(sed -n 's/^poll-.* rc=[1-9].* ms=\([0-9]*\)$/\1/p' "$work/probe.out" | sort -n | tail -1)
last=$(grep '^poll-' "$work/probe.out" | tail -1)
check "Gets while the BMC is away fail (saw $failed_polls of $polls)" test "$failed_polls" -ge 1
check "each within the 2 s connect bound (slowest ${slowest:-?} ms)" test "${slowest:-99999}" -le 2500
check "a later Get succeeds: timer stopped, settings lost ($last)" \
  bash -c "echo '$last' | grep -q 'rc=0 cc=00 data=00'"
check "every Get on the handle Open gave ($session)" \
  test "$(grep -c "^poll-.* session=${session:-x} " "$work/probe.out")" -eq "$polls"
check "journal of the new BMC: version and capabilities announced" \
  bash -c "grep -q '\"cmd\":\"version\"' '$journal2' && grep -q '\"cmd\":\"capabilities\",\"data\":\"03\"' '$journal2'"
check "Close after the restart: 0" step_has close "rc=0"

echo "== in-box transport: Windows' IPMI driver through the fake WMI provider"
bash "$root/tests/wmifake/install.sh" "$win_build/tests/wmifake/wmifake.dll" "$port" \
  >>"$work/wine.err" 2>&1 || { echo "FAIL installing the fake WMI provider"; failures=$((failures + 1)); }
fake_ini="$system32/wmifake.ini"
fake() { printf 'bmc=127.0.0.1:%s\r\n%s\r\n' "$port" "$1" >"$fake_ini"; }
rm -f "$lib/vyrqd4w.ini"
run_probe check
check "check exits 0 (got $probe_rc)" test "$probe_rc" -eq 0
check "check names the in-box transport" out_has "transport: in-box, Windows' IPMI driver through WMI"
check "check decodes Get Device ID through WMI" out_has "manufacturer ID 4753 (IANA), product ID 0F02h"
check "check decodes the timer through WMI" out_has "action on expiry:"
requests_before=$(grep -c '"kind":"request"' "$journal2")
run_probe --test full
check "Reset before Set: 80h through WMI" step_has reset-before-set "rc=0 cc=80 len=0"
check "Set enable, then Get: SMS/OS stopped, count 3000" step_has get-armed "rc=0 cc=00 len=8 data=04010000b80bb80b"
check "Get after Reset: running" step_has get-running "cc=00 len=8 data=4401"
check "Small buffer: 2 bytes written, length 2" step_has get-small-buffer "rc=0 cc=00 len=2 data=4401 "
check "Close: 0, second Close and Send after Close fail" \
  bash -c "grep -q '^close rc=0' '$work/probe.out' && grep '^close-again ' '$work/probe.out' | grep -qv 'rc=0' && grep '^after-close ' '$work/probe.out' | grep -qv 'rc=0 '"
check "journal: the sequence's 9 requests reached bmcsim" \
  test "$(grep -c '"kind":"request"' "$journal2")" -eq $((requests_before + 9))
check "journal: Set with 44010010b80b through WMI" \
  bash -c "grep -q '\"name\":\"set watchdog\",\"data\":\"44010010b80b\"' '$journal2'"
for fault_status in "no_class 8" "no_instance 8" "inactive 8" "access_denied 9" "connect_denied 9" "wmi_down 10"; do
  set -- $fault_status
  fake "fault=$1"
  run_probe open
  ms=$(grep -m1 '^open ' "$work/probe.out" | sed -n 's/.* ms=\([0-9]*\).*/\1/p')
  check "fault $1: Open fails with $2 at once (${ms:-?} ms)" \
    bash -c "grep -q '^open rc=$2 session=0' '$work/probe.out' && [ '${ms:-99999}' -le 1000 ]"
done
for fault in exec_fail wide_cc; do
  fake "fault=$fault"
  run_probe get
  check "fault $fault: Open works, the request fails with 4" step_has get "rc=4 "
done
# A driver that blocks 4 s: the first request ends at the 1 s bound, the next
# (1.5 s later, still stalled) fails at once, and the close does not wait.
printf 'reply_timeout_ms=1000\r\n' >"$lib/vyrqd4w.ini"
fake "fault=stall 4000"
run_probe drop
ms=$(step_ms get)
check "stall: the request fails with 5 at its 1 s bound (${ms:-?} ms)" \
  bash -c "grep -q '^get rc=5 ' '$work/probe.out' && [ '${ms:-0}' -ge 950 ] && [ '${ms:-99999}' -le 1500 ]"
ms=$(step_ms get-after-pause)
check "stall: the next request fails with 5 at once (${ms:-?} ms)" \
  bash -c "grep -q '^get-after-pause rc=5 ' '$work/probe.out' && [ '${ms:-99999}' -le 100 ]"
check "stall: Close returns 0 while the call is stalled" step_has close "rc=0"
# The stalled call returns (the fault hits one call only), then requests work.
fake "fault=stall 2000
count=1"
run_probe --test reconnect
fast=$(sed -n 's/^poll-.* rc=5 .* ms=\([0-9]*\)$/\1/p' "$work/probe.out" | sort -n | tail -1)
check "stall: Set fails with 5 at its bound" step_has set-enable "rc=5 "
check "stall: requests meanwhile fail at once (slowest ${fast:-?} ms)" test "${fast:-99999}" -le 100
check "stall: once it has returned, requests succeed on the same handle" \
  bash -c "grep '^poll-' '$work/probe.out' | tail -1 | grep -q 'rc=0 cc=00'"
rm -f "$lib/vyrqd4w.ini"
write_ini "$port"

echo "== no BMC listening: Open fails fast"
bmcsim_stop
run_probe open
ms=$(grep -m1 '^open ' "$work/probe.out" | sed -n 's/.* ms=\([0-9]*\).*/\1/p')
check "Open fails (rc=3)" bash -c "grep -q '^open rc=3 session=0' '$work/probe.out'"
check "within 2.5 s (took ${ms:-?} ms)" test "${ms:-99999}" -le 2500

echo "== total $(since "$start_ns") s, $failures failure(s)"
[ "$failures" -eq 0 ]
