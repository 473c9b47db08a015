"""End-to-end health checks: a HealthCommand (cmd.exe, failing while a flag
file exists) under Wine against bmcsim. A failure that ends within the
timeout withholds the resets and then resumes them with no run-out; one that
lasts has the BMC reset the server a timeout after the last reset, and the
next start names the check and only reports it until it passes once.
"""

import re
import time

from harness import SERVICE, wait_for
from scenarios import RESET_HIGH, requests

PARAMETERS = rf"HKLM\System\CurrentControlSet\Services\{SERVICE}\Parameters"
TIMEOUT = 250  # the shortest timeout: it bounds the group's wall time
INTERVAL, GRACE = 10, 30  # the shortest the settings allow
COMMAND = r"C:\windows\system32\cmd.exe /c if exist C:\flag.txt (exit 1) else (exit 0)"
SETTINGS = [("HealthCommand", "REG_SZ", COMMAND), ("HealthInterval", "REG_DWORD", str(INTERVAL)),
            ("HealthGrace", "REG_DWORD", str(GRACE)), ("HealthStartDelay", "REG_DWORD", "0"),
            ("HealthCommandLimit", "REG_DWORD", "20")]
# From the flag to the withholding: a run within the interval fails, the
# grace passes, the monitor looks once a second; Wine's cmd.exe takes a while.
WITHHOLD_LOW, WITHHOLD_HIGH = GRACE, GRACE + INTERVAL + 6
# Every interval Wine starts cmd.exe, which loads this shared machine's two
# cores for a moment: a reset may come a little later than the main group's bound.
CADENCE_HIGH = RESET_HIGH + 0.1
# Wine's debug channel ends a string after about 290 characters with "...".
TRUNCATED = r"(\.\.\.)?"


def entries(pfx, since):
    """Every entry's strings since a mark, "kind: text", as typed_events gives
    them but with Wine's cut strings too (ending in '"...'), and a backslash
    of the text, which Wine writes as two, as one."""
    with open(pfx.services_err, "rb") as f:
        f.seek(since)
        text = f.read().decode("latin-1")
    return [f"{m.group(1)}: {m.group(2)}{m.group(3) or ''}".replace("\\\\", "\\") for m in
            re.finditer(r'(err|warn|trace):eventlog:ReportEventW L"(.*)"(\.\.\.)?\s*$', text, re.M)]


def wait_entry(pfx, since, pattern, timeout):
    """Waits for an event-log string matching pattern (searched) since a mark;
    returns (the string, when it was seen)."""
    def find():
        return next((e for e in entries(pfx, since) if re.search(pattern, e)), None)
    found = wait_for(f"an entry matching {pattern!r}", find, timeout, interval=0.2)
    return found, time.monotonic() * 1000  # the journal's clock, CLOCK_MONOTONIC


def flag(pfx, present):
    path = pfx.path / "drive_c" / "flag.txt"
    if present:
        path.write_text("fail\r\n")
    else:
        path.unlink()


def resets_between(sim, t0, t1):
    return [e["t"] for e in requests(sim.entries(), "22") if t0 <= e["t"] <= t1]


def check_cadence(r, sim, t0, t1, what):
    """No gap between resets longer than the reset period's bound."""
    ts = resets_between(sim, t0, t1)
    gaps = [round((b - a) / 1000, 2) for a, b in zip(ts, ts[1:])]
    r.check(f"{what}: a reset every 10.1 s", len(ts) >= 2 and max(gaps) <= CADENCE_HIGH,
            f"gaps up to {CADENCE_HIGH} s", gaps)


def install_with_checks(ctx):
    """-install, then the settings and a restart, as an administrator sets
    them: the start lists the check in force."""
    r, pfx = ctx.r, ctx.pfx
    pfx.asr("-install", "-n", str(TIMEOUT))
    pfx.wait_state("RUNNING", 15)
    pfx.wine(["sc", "stop", SERVICE], timeout=30)
    pfx.wait_state("STOPPED", 15)
    for name, kind, value in SETTINGS:
        rc, _, _ = pfx.wine(["reg", "add", PARAMETERS, "/v", name, "/t", kind, "/d", value, "/f"],
                            timeout=30)
        r.eq(f"reg add {name}", 0, rc)
    ev = pfx.event_mark()
    pfx.wine(["sc", "start", SERVICE], timeout=30)
    ctx.started_ms = time.monotonic() * 1000
    pfx.wait_state("RUNNING", 15)
    entry, _ = wait_entry(pfx, ev, "health checks in force", 15)
    r.match("the start's entry lists the command and its limits",
            re.escape("trace: VYR IPMI ASR: health checks in force, every 10 s from 0 s after the "
                      "start, withholding the resets after 30 s of failure without a pass: "
                      f"HealthCommand {COMMAND} (within 20 s)") + r"\.?" + TRUNCATED, entry)
    # Two runs pass: the command starts and the ACL check lets it run.
    time.sleep(2 * INTERVAL + 2)
    r.eq("passing runs: no error or warning entry", [],
         [e for e in entries(pfx, ev) if not e.startswith("trace:")])


def withhold(ctx, since_ev):
    """Makes the command fail; returns (the withholding entry, when seen,
    when the flag was made)."""
    r, pfx = ctx.r, ctx.pfx
    flag(pfx, True)
    t_flag = time.monotonic() * 1000
    entry, seen = wait_entry(pfx, since_ev, "withholds the timer's resets", WITHHOLD_HIGH + 10)
    r.within("the withholding entry after the flag (s)", WITHHOLD_LOW,
             round((seen - t_flag) / 1000, 1), WITHHOLD_HIGH)
    r.match("error entry: the check, what failed, when the BMC resets",
            re.escape("err: VYR IPMI ASR: the health check HealthCommand has failed for ") +
            r"3\d" + re.escape(" s without a pass (exit code 1); the service withholds the timer's"
                               f" resets, and the BMC will reset the server within {TIMEOUT} s.") +
            TRUNCATED, entry)
    return entry, seen, t_flag


def failure_within_timeout(ctx):
    """The command fails for about a minute, then passes: the resets stop
    after the grace and resume at once with the information entry; the
    BMC's timer never runs out."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    install_with_checks(ctx)
    ev = pfx.event_mark()
    _, withheld_seen, t_flag = withhold(ctx, ev)
    time.sleep(20)
    r.eq("no reset sent while withholding", [], resets_between(sim, withheld_seen + 500,
                                                               time.monotonic() * 1000))
    flag(pfx, False)
    entry, resumed_seen = wait_entry(pfx, ev, "resets resume", INTERVAL + 8)
    r.eq("information entry: the resets resume",
         "trace: VYR IPMI ASR: every health check passes again; the timer's resets resume.", entry)
    first = wait_for("a reset after the resume", lambda: next(
        iter(resets_between(sim, withheld_seen + 500, 1e18)), None), 5)
    r.within("the first reset after the resume entry was seen (ms)", -1000,
             round(first - resumed_seen), 1000)
    time.sleep(2 * 10.1 + 1)
    check_cadence(r, sim, first, time.monotonic() * 1000, "after the resume")
    check_cadence(r, sim, ctx.started_ms, withheld_seen - 10500, "before the withholding")
    r.eq("bmcsim: no run-out, the timer runs", ([], True),
         ([e for e in sim.entries() if e["kind"] == "expiry"], sim.status().get("running")))


def failure_resets_server(ctx):
    """The command fails for good: the resets stop after the grace and the
    BMC resets the server a timeout after the last reset. After the reboot
    the start's warning names the check (not a hang), the check only reports
    until it has passed once, and the resets go on throughout."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    ev = pfx.event_mark()
    _, withheld_seen, _ = withhold(ctx, ev)
    expiry = wait_for("the BMC's timer to expire",
                      lambda: next((e for e in sim.entries() if e["kind"] == "expiry"), None),
                      TIMEOUT + 30, interval=1)
    last = [t for t in resets_between(sim, 0, expiry["t"])][-1]
    r.within("the last reset came before the withholding entry, within a period (ms)",
             -10100 - 500, round(last - withheld_seen), 500)
    r.within(f"expiry {TIMEOUT} s after the last reset (ms)", TIMEOUT * 1000,
             round(expiry["t"] - last), TIMEOUT * 1000 + 3000)
    r.eq("expiry: SMS/OS, hard reset", ("SMS/OS", "hard reset"),
         (expiry.get("use"), expiry.get("action")))
    # Only the Gets that look for a timer the BMC lost; no Set, no reset.
    r.eq("the service withheld to the end: only Gets after the expiry's last reset", [],
         [e["cmd"] for e in requests(sim.entries())
          if last < e["t"] < expiry["t"] and e["cmd"] != "25"])
    # The BMC's reset of the server: every process ends, the services start.
    ev = pfx.event_mark()
    pfx.reboot()
    pfx.wait_state("RUNNING", 30)
    warning, _ = wait_entry(pfx, ev, "watchdog ran out", 15)
    r.match("the start's warning names the check that withheld the resets",
            re.escape("warn: VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags "
                      "were last cleared: the health check HealthCommand had failed for its "
                      "grace, and the service withheld the timer's resets from ") + r".*", warning)
    guard, _ = wait_entry(pfx, ev, "health checks in force", 15)
    r.check("the start's entry says the check only reports until it has passed once",
            "only reports until it has passed once" in guard or
            re.search(r"The check HealthCommand withheld the resets.*\.\.\.$", guard),
            "the loop guard's sentence (or Wine's cut)", guard)
    t_start = time.monotonic() * 1000
    report, _ = wait_entry(pfx, ev, "the resets go on", WITHHOLD_HIGH + 10)
    r.match("warning, not withholding: it withheld before the BMC's last reset",
            re.escape("warn: VYR IPMI ASR: the health check HealthCommand has failed for ") +
            r"\d+" + re.escape(" s without a pass (exit code 1); it withheld the resets before the"
                               " BMC's last reset") + r".*", report)
    flag(pfx, False)
    again, _ = wait_entry(pfx, ev, "passes again", INTERVAL + 8)
    r.eq("information entry: the check passes again",
         "trace: VYR IPMI ASR: the health check HealthCommand passes again.", again)
    check_cadence(r, sim, t_start, time.monotonic() * 1000, "through the guarded failure")
    r.eq("no error entry after the reboot", [],
         [e for e in entries(pfx, ev) if e.startswith("err:")])
    pfx.asr("-remove", key=True)


HEALTH_SEQUENCE = [
    ("a health command fails and passes again within the timeout", failure_within_timeout),
    ("a health command fails for good: the BMC resets, then the loop guard",
     failure_resets_server),
]
