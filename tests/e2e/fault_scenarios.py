"""End-to-end faults: the BMC dropping the connection, answering busy or late,
restarting, gone for longer than half the timeout; and the installer given
hostile timeout texts. Each runs the real service under Wine against bmcsim
and asserts what the service manager, the event log and the BMC's journal
show.
"""

import re
import threading
import time

from harness import (DISPLAY, PROMPT, SET_DISABLE, STOP_ERROR, Bmcsim, requests, set_enable,
                     wait_for)
from scenarios import (REMOVED, STOPPING, check_arming, check_stopped, new_entries,
                       wait_resets)

# Under Wine a retry's Sleep(100) ticks run a little long, and the machine is
# shared: a retry "once a second" is accepted from 0.9 s to 1.6 s.
RETRY_LOW, RETRY_HIGH = 0.9, 1.6
# Win32 codes of the failure events: a request without reply, a refused one.
ERROR_TIMEOUT, ERROR_IO_DEVICE = 1460, 1117


def fresh_bmc(ctx, name, *extra):
    """A bmcsim of the scenario's own, since a fault may leave the last one's
    timer running (the BMC's state outlives a connection)."""
    ctx.sim = Bmcsim(ctx.dir, name, *extra).start()
    ctx.pfx.write_ini(ctx.sim.port)


def start_fed(ctx, name, timeout="300"):
    """With a fresh bmcsim, installs and waits until the service is RUNNING
    and has sent a reset; returns the journal mark of the install."""
    fresh_bmc(ctx, name)
    mark = len(ctx.sim.entries())
    ctx.pfx.asr("-install", "-n", timeout)
    ctx.pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    return mark


def next_reset_after(ctx, mark):
    """Waits until the reset after those already in the journal since mark."""
    seen = len(requests(new_entries(ctx.sim, mark), "22"))
    return wait_resets(ctx, mark, seen + 1, 15)[-1]


def replies(entries, cmd):
    return [e for e in entries if e["kind"] == "reply" and e["cmd"] == cmd]


def wait_reset_taken(ctx, since_t, timeout):
    """The first reset the BMC answered 00 after journal time since_t."""
    return wait_for("a reset answered 00", lambda: next(
        (e for e in replies(ctx.sim.entries(), "22") if e["t"] > since_t and e["cc"] == "00"),
        None), timeout, interval=0.2)


def check_episode(r, pfx, ev, code, failure, armed=False):
    """One warning when the failures began (its Win32 code, and `failure`, a
    pattern of what failed) and one information entry when they ended;
    nothing else."""
    warning = (rf"warn: vyrq4asr warning: {code} \| warn: VYR IPMI ASR: timer reset failed "
               rf"\({failure}\); retrying once a second\.")
    info = (r"trace: vyrq4asr \| trace: VYR IPMI ASR: timer resets succeed again after [\d.]+ s; "
            r"the timer " + ("was armed again" if armed else "kept its settings") + r"\.")
    got = pfx.typed_events(ev)
    r.eq("event log: one warning, then one information entry", 4, len(got))
    if len(got) == 4:
        r.match("warning entry", warning, got[0] + " | " + got[1])
        r.match("information entry", info, got[2] + " | " + got[3])


def stop_disarms(ctx, sim):
    """An orderly stop: STOPPED with 0, and the BMC's timer disarmed."""
    r, pfx = ctx.r, ctx.pfx
    mark = len(sim.entries())
    pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
    check_stopped(r, pfx.wait_state("STOPPED", 10), 0, "after the stop")
    r.eq("the stop's disable reached the BMC", [SET_DISABLE],
         [e["data"] for e in requests(sim.entries()[mark:], "24")])
    r.eq("bmcsim: the timer is stopped", False, sim.status().get("running"))


def connection_dropped(ctx):
    """The BMC drops the connection during the feed loop: the library finds
    the connection closed at the next request and connects again within it,
    so the service goes on feeding without a failed reset."""
    r, pfx = ctx.r, ctx.pfx
    mark = start_fed(ctx, "bmcsim-drop")
    sim = ctx.sim
    ev = pfx.event_mark()
    r.eq("bmcsim drops the connection", "ok", sim.control("disconnect"))
    dropped = [e for e in sim.entries() if e["kind"] == "disconnect"][-1]
    taken = wait_reset_taken(ctx, dropped["t"], 10.1 + 5)
    entries = new_entries(sim, mark)
    r.eq("journal: connect, the drop, a connect again",
         ["connect", "disconnect", "connect"],
         [e["kind"] for e in entries if e["kind"] in ("connect", "disconnect")])
    q = pfx.sc_query()
    r.eq("still RUNNING after the dropped connection", "RUNNING", q and q["name"])
    r.check("resets taken again after the drop", taken is not None, "a reset answered 00", taken)
    r.eq("no failed reset, no event-log entry", ([], []),
         ([e for e in replies(sim.entries(), "22") if e["cc"] != "00"], pfx.typed_events(ev)))
    stop_disarms(ctx, sim)
    pfx.asr("-remove", key=True)


def busy_spell(ctx):
    """The BMC answers busy (C0h) to everything for 5 s: the service stays
    RUNNING, retries once a second, and its resets are taken again within
    1 s of the spell's end."""
    r, pfx = ctx.r, ctx.pfx
    mark = start_fed(ctx, "bmcsim-busy")
    sim = ctx.sim
    # The spell starts 8 s after a reset, so that the next one falls in it.
    next_reset_after(ctx, mark)
    time.sleep(8)
    ev = pfx.event_mark()
    r.eq("bmcsim: busy from now on", "ok", sim.control("cc 100000 c0"))
    time.sleep(5)
    r.eq("bmcsim: busy no more", "ok", sim.control("clear"))
    cleared_ms = time.monotonic() * 1000  # the journal's clock, CLOCK_MONOTONIC
    taken = wait_reset_taken(ctx, cleared_ms, 5)
    r.within("first reset taken after the spell's end (ms)", 0, round(taken["t"] - cleared_ms),
             1000 + 300)
    busy = [e for e in replies(sim.entries(), "22") if e["cc"] == "c0"]
    gaps = [round((b["t"] - a["t"]) / 1000, 2) for a, b in zip(busy, busy[1:])]
    r.check("busy resets retried once a second", gaps and all(
        RETRY_LOW <= g <= RETRY_HIGH for g in gaps), f"gaps {RETRY_LOW}..{RETRY_HIGH} s", gaps)
    q = pfx.sc_query()
    r.eq("RUNNING through the spell", "RUNNING", q and q["name"])
    check_episode(r, pfx, ev, ERROR_IO_DEVICE, "completion code C0h")
    after = next_reset_after(ctx, mark)
    r.within("the cadence restarts: next reset 10.1 s after the first taken (s)", 9.8,
             round((after["t"] - taken["t"]) / 1000, 2), 10.6)
    stop_disarms(ctx, sim)
    pfx.asr("-remove", key=True)


def busy_at_a_stop(ctx):
    """The BMC answers busy just as the service is stopped: through a 5 s
    spell the service keeps the service manager waiting (STOP_PENDING past
    the old 2 s) and disarms the timer once the spell ends, STOPPED with 0;
    through 15 s the disable is given up after 10 s, with the error entry and
    exit code 1117, -remove says that the timer may still be armed, and then,
    the service stopped, disarms the timer it left running once the spell ends."""
    r, pfx = ctx.r, ctx.pfx
    for spell in (5, 15):
        start_fed(ctx, f"bmcsim-busy-stop-{spell}")
        sim = ctx.sim
        mark, ev = len(sim.entries()), pfx.event_mark()
        r.eq(f"{spell} s: bmcsim busy from now on", "ok", sim.control("cc 100000 c0"))
        t0 = time.monotonic()
        if spell == 5:
            pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
            time.sleep(3)
            q = pfx.sc_query()
            r.eq("5 s: still STOP_PENDING 3 s into the stop", "STOP_PENDING", q and q["name"])
            time.sleep(max(0.0, spell - (time.monotonic() - t0)))
            r.eq("5 s: bmcsim busy no more", "ok", sim.control("clear"))
            check_stopped(r, pfx.wait_state("STOPPED", 10), 0, "5 s: after the stop")
            r.eq("5 s: the timer disarmed, no event-log entry", (False, []),
                 (sim.status().get("running"), pfx.typed_events(ev)))
            pfx.asr("-remove", key=True)
        else:
            spell_end = threading.Timer(spell, lambda: sim.control("clear"))
            spell_end.start()
            try:
                rc, so, _ = pfx.asr("-remove", key=True, timeout=120)
            finally:
                spell_end.join()
            took = time.monotonic() - t0
            r.match("15 s: -remove says the timer may still be armed (0x45d), then disarms it",
                    STOPPING + re.escape(f"{DISPLAY} stopped, but the timer may still be armed - ")
                    + r"[^\r\n]* \(0x45d\)\r\n"
                    + re.escape(f"The timer that {DISPLAY} left running is disarmed.\r\n")
                    + REMOVED + re.escape(PROMPT), so)
            r.within("15 s: the stop gave up after about 10 s, the disarm at the spell's end",
                     spell, round(took, 1), spell + 4.0, " s")
            r.eq("15 s: the timer stopped", False, sim.status().get("running"))
            r.eq("15 s: the error entry, with 1117",
                 ["vyrq4asr error: 1117", "VYR IPMI ASR exiting; timer disable failed."],
                 pfx.events(ev))
            refused = [e for e in replies(new_entries(sim, mark), "24") if e["cc"] == "c0"]
            r.within("15 s: disables refused, about every 200 ms for 10 s", 35, len(refused), 51)
        sim.stop()


def answered_late(ctx):
    """A reply 1 s late is still in time. One later than the library's bound
    fails the reset; the retry a second later is taken (the late reply to the
    failed request is skipped), and the service goes on feeding."""
    r, pfx = ctx.r, ctx.pfx
    mark = start_fed(ctx, "bmcsim-late")
    sim = ctx.sim
    r.eq("bmcsim: the next request answered 1000 ms late", "ok", sim.control("delay 1 1000"))
    late = next_reset_after(ctx, mark)
    after = next_reset_after(ctx, mark)
    r.within("the next reset still comes about 10.1 s (+1 s) later (s)", 10.0,
             round((after["t"] - late["t"]) / 1000, 1), 12.0)
    ev = pfx.event_mark()
    r.eq("bmcsim: the next request answered 5000 ms late", "ok", sim.control("delay 1 5000"))
    slow = next_reset_after(ctx, mark)
    retry = next_reset_after(ctx, mark)
    r.within("the retry follows the library's 3 s bound by about 1 s (s)", 3.9,
             round((retry["t"] - slow["t"]) / 1000, 1), 4.8)
    wait_reset_taken(ctx, retry["t"] - 1, 5)
    q = pfx.sc_query()
    r.eq("still RUNNING", "RUNNING", q and q["name"])
    check_episode(r, pfx, ev, ERROR_TIMEOUT, "no reply, library status 5")
    stop_disarms(ctx, sim)
    pfx.asr("-remove", key=True)


def bmc_restarts(ctx):
    """The BMC is gone for 20 s and comes back having lost its watchdog
    settings: the service arms it again (the Set with the installed count,
    then the Reset) within 2 s of its answering, logs the episode, and a
    clean stop then disarms it."""
    r, pfx = ctx.r, ctx.pfx
    start_fed(ctx, "bmcsim-before-restart")
    port = ctx.sim.port
    ev = pfx.event_mark()
    ctx.sim.stop()
    time.sleep(20)
    restarted = Bmcsim(ctx.dir, "bmcsim-restarted", "--port", str(port)).start()
    try:
        r.eq("restarted bmcsim on the same port", port, restarted.port)
        up = next(e for e in restarted.entries() if e["kind"] == "listen")
        wait_for("a reset taken by the restarted BMC", lambda: next(
            (e for e in replies(restarted.entries(), "22") if e["cc"] == "00"), None), 10)
        reqs = [(e["cmd"], e["data"]) for e in requests(restarted.entries())]
        r.eq("the restarted BMC sees Reset (80h), Set enable (count 3000), Reset",
             [("22", ""), ("24", set_enable(300)), ("22", "")], reqs[:3])
        r.eq("... answered 80h, 00, 00", ["80", "00", "00"],
             [e["cc"] for e in restarted.entries() if e["kind"] == "reply"][:3])
        armed = requests(restarted.entries(), "24")[0]
        r.within("armed again after the BMC answers (ms)", 0, armed["t"] - up["t"], 2000)
        q = pfx.sc_query()
        r.eq("RUNNING through the restart", "RUNNING", q and q["name"])
        r.eq("bmcsim: the timer runs again", True, restarted.status().get("running"))
        check_episode(r, pfx, ev, ERROR_TIMEOUT, r"no reply, library status \d+", armed=True)
        stop_disarms(ctx, restarted)
        pfx.asr("-remove", key=True)
    finally:
        restarted.stop()


def outage_past_half_the_timeout(ctx):
    """The BMC gone for longer than half the timeout (250 s): after 125 s
    without a reset taken the service gives up, says so in an error entry and
    stops with the stop error."""
    r, pfx = ctx.r, ctx.pfx
    start_fed(ctx, "bmcsim-outage", "250")
    ev = pfx.event_mark()
    ctx.sim.stop()
    last_ok = replies(ctx.sim.entries(), "22")[-1]
    q = pfx.wait_state("STOPPED", 125 + 30)
    took = time.monotonic() - last_ok["t"] / 1000  # the journal's clock, CLOCK_MONOTONIC
    check_stopped(r, q, STOP_ERROR, "after the long outage")
    # 125 s from the last reset taken, the disable's three tries, the run
    # routine's 2 s wait, and our polling.
    r.within("STOPPED this long after the last reset taken (s)", 125, round(took, 1), 135)
    got = pfx.typed_events(ev)
    r.eq("event log: the warning, then the error (1460, no reply)", [
        "warn: vyrq4asr warning: 1460", "err: vyrq4asr error: 1460",
        "err: VYR IPMI ASR exiting; timer reset failed."],
        [got[0], got[2], got[3]] if len(got) == 4 else got)
    pfx.asr("-remove", key=True)


def hostile_timeout_texts(ctx):
    """The installer given a 600-character timeout text, one with blanks and
    quotes, and one with a non-ASCII letter."""
    r, pfx = ctx.r, ctx.pfx
    fresh_bmc(ctx, "bmcsim-hostile")
    rc, so, _ = pfx.asr("-install", "3" * 600, key=True)
    r.match("600 characters: Unable to install ... (0xce)",
            re.escape(f"Unable to install {DISPLAY} - ") + r"[^\r\n]+ \(0xce\)\r\n" +
            re.escape(PROMPT), so)
    r.eq("... and nothing is installed", None, pfx.sc_query())

    text = '300 "a b" \'c\''
    mark = len(ctx.sim.entries())
    rc, so, _ = pfx.asr("-install", text, key=True)
    r.eq("blanks and quotes: installed", f"{DISPLAY} installed and started.\r\n{PROMPT}", so)
    r.eq("image path carries the text unchanged",
         (r"C:\windows\system32\VYRIASRW.EXE " + text).lower(), (pfx.image_path() or "").lower())
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    check_arming(r, new_entries(ctx.sim, mark), 300)
    pfx.asr("-remove", key=True)

    mark = len(ctx.sim.entries())
    rc, so, _ = pfx.asr("-install", "30\u00e90", key=True)
    r.eq("non-ASCII: installed", f"{DISPLAY} installed and started.\r\n{PROMPT}", so)
    # reg prints in the console's OEM code page, where the letter is 82h.
    path = (pfx.image_path() or "").encode("latin-1").decode("cp850")
    r.check("image path ends in the text, its letter kept", path.endswith("30\u00e90"),
            "...VYRIASRW.EXE 30\u00e90", repr(path))
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    check_arming(r, new_entries(ctx.sim, mark), 255)
    pfx.asr("-remove", key=True)
    r.eq("bmcsim: the removal disarmed the timer", False, ctx.sim.status().get("running"))


FAULT_SEQUENCE = [
    ("the BMC drops the connection while the service feeds", connection_dropped),
    ("the BMC answers busy for 5 s", busy_spell),
    ("the BMC busy at a stop, for 5 s and for 15 s", busy_at_a_stop),
    ("the BMC answers late", answered_late),
    ("the BMC restarts after a 20 s outage", bmc_restarts),
    ("hostile timeout texts for the installer", hostile_timeout_texts),
]

# Over two minutes of waiting: a group of its own, beside the hangs.
OUTAGE_SEQUENCE = [
    ("the BMC gone for longer than half the timeout", outage_past_half_the_timeout),
]
