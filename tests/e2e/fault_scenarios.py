"""End-to-end faults: the BMC dropping the connection, answering busy or late,
restarting; and the installer given hostile timeout texts. Each runs the real
service under Wine against bmcsim and asserts what the service manager, the
event log and the BMC's journal show.
"""

import re

from harness import DISPLAY, PROMPT, SET_DISABLE, STOP_ERROR, Bmcsim, requests, wait_for
from scenarios import check_arming, check_stopped, new_entries, wait_resets

# A failed reset ends the worker: the stop follows the run routine's 2 s wait.
FAILED_STOP_WITHIN = 20


def fresh_bmc(ctx, name):
    """A bmcsim of the scenario's own, since a fault may leave the last one's
    timer running (the BMC's state outlives a connection)."""
    ctx.sim = Bmcsim(ctx.dir, name).start()
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


def connection_dropped(ctx):
    """The BMC drops the connection during the feed loop: the next reset
    fails, the service stops with the stop error and writes no event."""
    r, pfx = ctx.r, ctx.pfx
    mark = start_fed(ctx, "bmcsim-drop")
    sim = ctx.sim
    ev = pfx.event_mark()
    r.eq("bmcsim drops the connection", "ok", sim.control("disconnect"))
    q = pfx.wait_state("STOPPED", FAILED_STOP_WITHIN)
    check_stopped(r, q, STOP_ERROR, "after the dropped connection")
    r.eq("no event-log entries (a failed reset writes none)", [], pfx.events(ev))
    entries = new_entries(sim, mark)
    r.eq("journal: one connect, then the drop", ["connect", "disconnect"],
         [e["kind"] for e in entries if e["kind"] in ("connect", "disconnect")])
    # Nothing could reach the BMC to disarm it: its timer goes on counting.
    r.eq("bmcsim: the timer still runs", True, sim.status().get("running"))
    pfx.asr("-remove", key=True)


def busy_once_to_a_reset(ctx):
    """Busy (C0h) once to a reset: the reset failed, so the worker disables
    the timer and ends; the service stops with the stop error."""
    r, pfx = ctx.r, ctx.pfx
    mark = start_fed(ctx, "bmcsim-busy")
    sim = ctx.sim
    ev = pfx.event_mark()
    r.eq("bmcsim: the next request answered C0h", "ok", sim.control("cc 1 c0"))
    q = pfx.wait_state("STOPPED", 10.1 + FAILED_STOP_WITHIN)
    check_stopped(r, q, STOP_ERROR, "after the busy reset")
    entries = new_entries(sim, mark)
    tail = [(e["kind"], e.get("cmd"), e.get("cc", e.get("data"))) for e in entries
            if e["kind"] in ("request", "reply")][-4:]
    r.eq("journal: the reset answered C0h, then the disable answered 00",
         [("request", "22", ""), ("reply", "22", "c0"), ("request", "24", SET_DISABLE),
          ("reply", "24", "00")], tail)
    r.eq("bmcsim: the timer is stopped", False, sim.status().get("running"))
    r.eq("no event-log entries", [], pfx.events(ev))
    pfx.asr("-remove", key=True)


def answered_late(ctx):
    """A reply 1 s late is still in time: the service goes on feeding. One
    later than the library's bound fails the reset, and the service stops."""
    r, pfx = ctx.r, ctx.pfx
    mark = start_fed(ctx, "bmcsim-late")
    sim = ctx.sim
    r.eq("bmcsim: the next request answered 1000 ms late", "ok", sim.control("delay 1 1000"))
    late = next_reset_after(ctx, mark)
    after = next_reset_after(ctx, mark)
    r.within("the next reset still comes about 10.1 s (+1 s) later (s)", 10.0,
             round((after["t"] - late["t"]) / 1000, 1), 11.7)
    q = pfx.sc_query()
    r.eq("still RUNNING after a late answer", "RUNNING", q and q["name"])
    r.eq("bmcsim: the next request answered 5000 ms late", "ok", sim.control("delay 1 5000"))
    q = pfx.wait_state("STOPPED", 10.1 + 5 + FAILED_STOP_WITHIN)
    check_stopped(r, q, STOP_ERROR, "after a reply beyond the library's bound")
    r.eq("bmcsim: the timer is stopped (the disable came through)", False,
         sim.status().get("running"))
    pfx.asr("-remove", key=True)


def bmc_restarts(ctx):
    """The BMC restarts under a running service: the reset after it fails and
    the service stops; started again, it arms the restarted BMC."""
    r, pfx = ctx.r, ctx.pfx
    start_fed(ctx, "bmcsim-before-restart")
    port = ctx.sim.port
    ctx.sim.stop()
    restarted = Bmcsim(ctx.dir, "bmcsim-restarted", "--port", str(port)).start()
    try:
        r.eq("restarted bmcsim on the same port", port, restarted.port)
        q = pfx.wait_state("STOPPED", 10.1 + FAILED_STOP_WITHIN)
        check_stopped(r, q, STOP_ERROR, "after the BMC's restart")
        mark = len(restarted.entries())
        rc, _, _ = pfx.wine(["sc", "start", "vyrq4asr"], timeout=30)
        r.eq("sc start accepted", 0, rc)
        pfx.wait_state("RUNNING", 15)
        wait_for("a reset at the restarted BMC",
                 lambda: requests(restarted.entries()[mark:], "22"), 15, interval=0.3)
        check_arming(r, restarted.entries()[mark:], 300)
        pfx.asr("-remove", key=True)
    finally:
        restarted.stop()


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
    ("the BMC answers busy once to a reset", busy_once_to_a_reset),
    ("the BMC answers late", answered_late),
    ("the BMC restarts", bmc_restarts),
    ("hostile timeout texts for the installer", hostile_timeout_texts),
]
