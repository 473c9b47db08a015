"""The in-box transport end to end: the real service under Wine's service
manager with our vyrqd4w.dll in the system directory and no settings file, as
on a production server. The library reaches Windows' IPMI driver through WMI;
here the fake WMI provider (tests/wmifake) stands in for the driver and
forwards each request to bmcsim, whose journal the checks read.
"""

import re
import shutil
import signal
import time

from fault_scenarios import (ERROR_TIMEOUT, RETRY_HIGH, check_episode, replies, stop_disarms,
                             wait_reset_taken)
from harness import DLL, PROBE, STOP_ERROR, Bmcsim, requests, set_enable
from scenarios import (P, REMOVED, RESET_HIGH, RESET_LOW, RESET_PERIOD, check_arming,
                       check_stopped, hang, new_entries, wait_resets)
from wmifake import install_wmifake, set_wmifake

# The library's default bound on one request (reply_timeout_ms).
REPLY_BOUND_S = 3.0


def use_inbox(pfx, sim):
    """Our DLL in the system directory without a settings file, and the fake
    provider as the prefix's WMI, its driver answering through sim."""
    shutil.copy2(DLL, pfx.sysdir / "vyrqd4w.dll")
    (pfx.sysdir / "vyrqd4w.ini").unlink(missing_ok=True)
    install_wmifake(pfx, sim.port)


def fresh_bmc(ctx, name):
    """A bmcsim of the scenario's own behind a healthy fake driver: a scenario
    may leave the last one's timer armed."""
    ctx.sim = Bmcsim(ctx.dir, name).start()
    set_wmifake(ctx.pfx, ctx.sim.port)


def install_and_run(ctx):
    """-install -n 300 with no settings file: armed through WMI, resets every
    10.1 s, nothing in the event log."""
    r, pfx = ctx.r, ctx.pfx
    r.eq("no vyrqd4w.ini beside the DLL", False, (pfx.sysdir / "vyrqd4w.ini").exists())
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-install", "-n", "300")
    r.eq("-install -n 300 prints nothing", ("", 0), (so, rc))
    q = pfx.wait_state("RUNNING", 15)
    r.eq("sc query: RUNNING, exit code 0", ("RUNNING", 0), (q["name"], q["win32"]))
    resets = wait_resets(ctx, mark, 4, 60)
    check_arming(r, new_entries(ctx.sim, mark), 300)
    gaps = [round((b["t"] - a["t"]) / 1000, 3) for a, b in zip(resets, resets[1:])]
    r.check(f"reset intervals are {RESET_PERIOD} s: {gaps}",
            len(gaps) >= 3 and all(RESET_LOW <= g <= RESET_HIGH for g in gaps[:3]),
            f"{RESET_LOW}..{RESET_HIGH} s", gaps)
    st = ctx.sim.status()
    r.eq("bmcsim: armed and running, SMS/OS, hard reset, initial 3000",
         (True, "SMS/OS", "hard reset", 3000),
         (st.get("running"), st.get("use"), st.get("action"), st.get("initial")))
    r.eq("no event-log entries", [], pfx.typed_events(ev))


def check_tool_while_running(ctx):
    """qd4probe beside nothing, loading the system directory's DLL as the
    service does: the in-box transport, the BMC, the running timer; it sends
    no Set or Reset."""
    r, pfx = ctx.r, ctx.pfx
    mark = len(ctx.sim.entries())
    rc, so, _ = pfx.wine([PROBE], timeout=60)
    text = so.replace("\r\n", "\n")
    r.eq("qd4probe exit status", 0, rc)
    for line in ["transport: in-box, Windows' IPMI driver through WMI",
                 "manufacturer ID 4753 (IANA), product ID 0F02h",
                 "timer use SMS/OS, running",
                 "action on expiry: hard reset",
                 "initial countdown 300.0 s",
                 "result: the BMC answered; the timer was not changed"]:
        r.check(f"qd4probe says '{line}'", line in text, line, text)
    mine = [e["cmd"] for e in requests(new_entries(ctx.sim, mark)) if e["cmd"] != "22"]
    r.eq("qd4probe sent only Get Device ID, Get Watchdog Timer, Get SEL Info and Get SEL Entry",
         ["01", "25", "40"], [c for c in mine if c != "43"])


def stop_and_remove(ctx):
    """sc stop disarms the timer through WMI; -remove deletes the service."""
    r, pfx = ctx.r, ctx.pfx
    ev = pfx.event_mark()
    stop_disarms(ctx, ctx.sim)
    rc, so, _ = pfx.asr("-remove", key=True)
    r.match("-remove of the stopped service: removed, prompt", REMOVED + P, so)
    r.eq("service gone", None, pfx.sc_query())
    r.eq("no event-log entries", [], pfx.typed_events(ev))


def driver_absent(ctx):
    """No Microsoft_IPMI class (the driver not installed): the open fails,
    the error event, STOPPED with the stop error, nothing reaches the BMC."""
    r, pfx = ctx.r, ctx.pfx
    set_wmifake(pfx, ctx.sim.port, "fault=no_class")
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    try:
        rc, so, _ = pfx.asr("-install", "-n", "300")
        r.eq("-install -n 300 prints nothing, driver or not", ("", 0), (so, rc))
        check_stopped(r, pfx.wait_state("STOPPED", 20), STOP_ERROR, "driver absent")
        events = pfx.events(ev)
        r.check("event: 'vyrq4asr error: N', 'VYR IPMI ASR exiting; OpenQD4Driver failed.'",
                len(events) == 2 and re.fullmatch(r"vyrq4asr error: \d+", events[0]) is not None
                and events[1] == "VYR IPMI ASR exiting; OpenQD4Driver failed.",
                "those two strings", events)
        r.eq("nothing reached the BMC", [], requests(new_entries(ctx.sim, mark)))
        pfx.asr("-remove", key=True)
    finally:
        set_wmifake(pfx, ctx.sim.port)


def stalled_driver(ctx):
    """The driver blocks one call for 8 s: the reset fails at the library's
    bound, the retries fail at once while the call is stalled, and resets are
    taken again within a retry of its return. The service stays RUNNING."""
    r, pfx = ctx.r, ctx.pfx
    fresh_bmc(ctx, "bmcsim-stall")
    mark = len(ctx.sim.entries())
    pfx.asr("-install", "-n", "300")
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    sim = ctx.sim
    # The stall starts with the next reset, about 2 s after the fault is set.
    last = wait_resets(ctx, mark, 2, 15)[-1]
    time.sleep(8)
    ev = pfx.event_mark()
    set_wmifake(pfx, sim.port, "fault=stall 8000", "count=1")
    stall_from = last["t"] / 1000 + RESET_PERIOD
    time.sleep(6)
    t0 = time.monotonic()
    q = pfx.sc_query()
    r.eq("RUNNING during the stall", "RUNNING", q and q["name"])
    r.within("the service manager's query answers during the stall (s)", 0,
             round(time.monotonic() - t0, 1), 5)
    # Half a period on: the reply to `last` itself may be journalled a
    # millisecond after its request.
    taken = wait_reset_taken(ctx, last["t"] + RESET_PERIOD * 500, 30)
    stall_end = stall_from + 8
    r.within("first reset taken after the stall returned (s)", -0.5,
             round(taken["t"] / 1000 - stall_end, 2), RETRY_HIGH + 0.5)
    r.eq("nothing reached the BMC during the stall", [],
         [e["cmd"] for e in requests(sim.entries())
          if last["t"] < e["t"] < taken["t"] - 50])
    q = pfx.sc_query()
    r.eq("still RUNNING", "RUNNING", q and q["name"])
    check_episode(r, pfx, ev, ERROR_TIMEOUT, "no reply, library status 5")
    stop_disarms(ctx, sim)
    pfx.asr("-remove", key=True)


def stop_during_stall(ctx):
    """A stop while the driver stalls for good: the stop is not held up by the
    stalled call; the disable is tried for its 10 s, each try failing at once,
    then the service says the timer is still armed (1460, no reply) and stops."""
    r, pfx = ctx.r, ctx.pfx
    fresh_bmc(ctx, "bmcsim-stall-stop")
    mark = len(ctx.sim.entries())
    pfx.asr("-install", "-n", "300")
    pfx.wait_state("RUNNING", 15)
    last = wait_resets(ctx, mark, 1, 15)[-1]
    set_wmifake(pfx, ctx.sim.port, "fault=stall 0")
    try:
        # Stop just after the next reset has stalled at the library's bound.
        time.sleep(max(0.0, last["t"] / 1000 + RESET_PERIOD + REPLY_BOUND_S + 0.5
                       - time.monotonic()))
        ev = pfx.event_mark()
        t0 = time.monotonic()
        pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
        q = pfx.wait_state("STOPPED", 15)
        r.within("STOPPED this soon after the stop (s)", 0, round(time.monotonic() - t0, 1), 14)
        check_stopped(r, q, ERROR_TIMEOUT, "stopped during the stall")
        r.eq("error event: the disable failed (1460)",
             ["vyrq4asr error: 1460", "VYR IPMI ASR exiting; timer disable failed."],
             pfx.events(ev))
        r.eq("bmcsim: the timer still runs (the disable never arrived)", True,
             ctx.sim.status().get("running"))
    finally:
        set_wmifake(pfx, ctx.sim.port)
    pfx.asr("-remove", key=True)


def busy_start_and_refused_pretimeout(ctx):
    """A BMC busy (C0h) for the start's first three requests: the Get is
    tried again, and the service is RUNNING and armed, with no entry. Then
    BMCs refusing the NMI pre-timeout with C9h and with D6h: the plain enable,
    and warning 21 naming the code."""
    r, pfx = ctx.r, ctx.pfx
    fresh_bmc(ctx, "bmcsim-busy-start")
    sim = ctx.sim
    mark, ev = len(sim.entries()), pfx.event_mark()
    r.eq("bmcsim: the next 3 requests busy", "ok", sim.control("cc 3 c0"))
    pfx.asr("-install", "-n", "300")
    q = pfx.wait_state("RUNNING", 15)
    r.eq("RUNNING after the busy start", "RUNNING", q and q["name"])
    wait_resets(ctx, mark, 1, 30)
    entries = new_entries(sim, mark)
    r.eq("the Get refused busy three times, then taken; the enable taken",
         (["c0", "c0", "c0", "00"], ["00"]),
         ([e["cc"] for e in replies(entries, "25")], [e["cc"] for e in replies(entries, "24")]))
    st = sim.status()
    r.eq("bmcsim: armed and running, initial 3000", (True, 3000),
         (st.get("running"), st.get("initial")))
    r.eq("no event-log entries", [], pfx.typed_events(ev))
    pfx.asr("-remove", key=True)
    for code in ("C9", "D6"):
        r.eq(f"bmcsim takes pretimeout-refuse {code}", "ok",
             sim.control(f"pretimeout-refuse {code}"))
        mark, ev = len(sim.entries()), pfx.event_mark()
        pfx.asr("-install", "-n", "250", "95")
        pfx.wait_state("RUNNING", 15)
        wait_resets(ctx, mark, 1, 30)
        entries = new_entries(sim, mark)
        r.eq(f"{code}: Sets: the enable with the NMI refused, then the plain one taken",
             [(set_enable(250, 95), code.lower()), (set_enable(250), "00")],
             list(zip([e["data"] for e in requests(entries, "24")],
                      [e["cc"] for e in replies(entries, "24")]))[:2])
        r.match(f"{code}: event log: warning 21 naming {code}h",
                r"warn: vyrq4asr warning: 1117 \| warn: VYR IPMI ASR: the BMC refused the "
                rf"pre-timeout interrupt \(completion code {code}h\); the timer is armed without "
                r"it\.", " | ".join(pfx.typed_events(ev)))
        pfx.asr("-remove", key=True)
    sim.control("pretimeout-accept")


INBOX_SEQUENCE = [
    ("in-box: install -n 300 without a settings file, armed through WMI", install_and_run),
    ("in-box: qd4probe while the service runs", check_tool_while_running),
    ("in-box: sc stop and -remove", stop_and_remove),
    ("in-box: the driver absent", driver_absent),
    ("in-box: a driver stalled for 8 s", stalled_driver),
    ("in-box: a stop while the driver stalls", stop_during_stall),
    ("in-box: a busy start, and the pre-timeout refused with C9h and D6h",
     busy_start_and_refused_pretimeout),
]

INBOX_HANG_SEQUENCE = [
    ("in-box: the hang: SIGSTOP the service's process, timeout 250 s",
     lambda c: hang(c, signal.SIGSTOP)),
]
