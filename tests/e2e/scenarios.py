"""The end-to-end scenarios: the real vyriasrw.exe under Wine's service manager
against bmcsim (and once against ipmi_sim), with our vyrqd4w.dll between them.

Console output is compared byte for byte as the program writes it (text-mode
stdout, so lines end in CR LF). Where a line carries a system message text,
only its frame is fixed: the text itself is Wine's, not Windows'.
"""

import os
import re
import shutil
import signal
import time

from harness import (CRASH_CONTROL, DISPLAY, EVENT_MESSAGES, EVENT_SOURCE, PLANTED_DLL, PROBE,
                     PROMPT, SET_DISABLE, STOP_ERROR, Abort, Bmcsim, IpmiSim, describe, event_ids,
                     event_source_lower, free_port, requests, service_description, set_enable,
                     wait_for)

ERROR_MOD_NOT_FOUND = 126

# Resets come 101 ticks of 100 ms apart. Under Wine a Sleep(100) takes a little
# longer, never less, and the machine is shared: accept 10.1 s -0.3/+0.4 s.
RESET_PERIOD = 10.1
RESET_LOW, RESET_HIGH = 9.8, 10.5

USAGE = ("vyrq4asr -install          to install the service\r\n"
         "vyrq4asr -remove           to remove the service\r\n"
         "\r\nStartServiceCtrlDispatcher being called.\r\n"
         "This may take several seconds.  Please wait.\r\n")

STOPPING = re.escape(f"Stopping {DISPLAY}.") + r"(\.*)" + re.escape(f"\r\n{DISPLAY} stopped.\r\n")
REMOVED = re.escape(f"{DISPLAY} removed.\r\n")
INSTALLED = re.escape(f"{DISPLAY} installed and started.\r\n")
P = re.escape(PROMPT)


class Ctx:
    def __init__(self, report, prefix, sim, workdir):
        self.r, self.pfx, self.sim, self.dir = report, prefix, sim, workdir


def new_entries(sim, mark):
    return sim.entries()[mark:]


def wait_resets(ctx, mark, n, timeout):
    """Waits for n Reset requests in the journal after `mark`; returns them."""
    return wait_for(f"{n} reset request(s) in bmcsim's journal",
                    lambda: (lambda rs: rs if len(rs) >= n else None)(
                        requests(new_entries(ctx.sim, mark), "22")), timeout, interval=0.3)


def check_arming(r, entries, timeout_s, pretimeout_s=0):
    """Connect, Get (stopped), Set enable with the count, Reset at once."""
    reqs = requests(entries)
    got = [(e["cmd"], e["data"]) for e in reqs[:3]]
    nmi = f", NMI {pretimeout_s} s early" if pretimeout_s else ""
    r.eq("service's first requests: Get, Set enable (count "
         f"{timeout_s * 10}{nmi}), Reset",
         [("25", ""), ("24", set_enable(timeout_s, pretimeout_s)), ("22", "")], got)
    replies = [e for e in entries if e["kind"] == "reply"][:3]
    r.eq("BMC accepted all three (cc 00)", ["00"] * 3, [e["cc"] for e in replies])
    if len(reqs) >= 3:
        r.within("first Reset follows the Set at once (ms)", 0, reqs[2]["t"] - reqs[1]["t"], 500)


def check_disable_then_close(r, entries, what):
    """The last request is the disable, answered 00, and the connection
    closes after it with nothing sent in between."""
    kinds = [e for e in entries if e["kind"] in ("request", "reply", "disconnect")]
    tail = [(e["kind"], e.get("cmd"), e.get("data", e.get("reason"))) for e in kinds[-3:]]
    r.eq(f"{what}: disable Set, its reply, then the connection closes",
         [("request", "24", SET_DISABLE), ("reply", "24", ""), ("disconnect", None, "closed")],
         tail)
    replies = [e for e in kinds if e["kind"] == "reply" and e["cmd"] == "24"]
    if replies:
        r.eq(f"{what}: disable answered 00", "00", replies[-1]["cc"])


def check_stopped(r, q, code, what):
    r.eq(f"{what}: state", "STOPPED", q["name"] if q else None)
    r.eq(f"{what}: Win32 exit code", hex(code), hex(q["win32"]) if q else None)


# ------------------------------------------------------------ main sequence

def install_and_run(ctx):
    """-install -n 300: silent, RUNNING, armed with 3000, resets every 10.1 s."""
    r, pfx = ctx.r, ctx.pfx
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-install", "-n", "300")
    r.eq("-install -n 300 prints nothing", "", so)
    r.eq("-install -n 300 exit status", 0, rc)
    r.check("VYRIASRW.EXE copied to the system directory",
            (pfx.sysdir / "VYRIASRW.EXE").is_file() or (pfx.sysdir / "vyriasrw.exe").is_file(),
            "the file", "no file")
    r.eq("image path carries the timeout", r"C:\windows\system32\VYRIASRW.EXE 300".lower(),
         (pfx.image_path() or "").lower())
    r.eq("the service's description (Wine keeps no recovery actions: proved on the fake)",
         service_description(), pfx.image_path("Description"))
    q = pfx.wait_state("RUNNING", 15)
    r.eq("sc query: RUNNING, exit code 0", ("RUNNING", 0), (q["name"], q["win32"]))
    resets = wait_resets(ctx, mark, 4, 60)
    entries = new_entries(ctx.sim, mark)
    r.eq("journal: one connect", 1, sum(e["kind"] == "connect" for e in entries))
    check_arming(r, entries, 300)
    gaps = [(b["t"] - a["t"]) / 1000 for a, b in zip(resets, resets[1:])]
    r.note("reset intervals: " + ", ".join(f"{g:.3f} s" for g in gaps))
    for i, g in enumerate(gaps[:3], 1):
        r.within(f"reset interval {i} is {RESET_PERIOD} s", RESET_LOW, round(g, 3), RESET_HIGH, " s")
    r.check("every Reset answered 00",
            all(e["cc"] == "00" for e in entries if e["kind"] == "reply" and e["cmd"] == "22"),
            "cc 00", describe(entries))
    st = ctx.sim.status()
    r.eq("bmcsim: armed and running, SMS/OS, hard reset, initial 3000",
         (True, "SMS/OS", "hard reset", 3000),
         (st.get("running"), st.get("use"), st.get("action"), st.get("initial")))
    r.within("bmcsim: countdown within one period of 3000", 3000 - 105, st.get("present"), 3000)
    r.eq("no event-log entries", [], pfx.events(ev))


def event_source_and_messages(ctx):
    """-install registered the source in the System log; the installed copy's
    message table renders every identifier with an entry's two strings."""
    r, pfx = ctx.r, ctx.pfx
    r.eq("event source key after -install", EVENT_SOURCE, event_source_lower(pfx.event_source()))
    ids = event_ids()
    rc, so, _ = pfx.wine([EVENT_MESSAGES, pfx.sysdir / "VYRIASRW.EXE", "vyrq4asr error: 1117",
                          "VYR IPMI ASR exiting; timer enable failed."] + ids, timeout=30)
    want = [f"{i} ok VYR IPMI ASR exiting; timer enable failed.\\r\\nvyrq4asr error: 1117\\r\\n"
            for i in ids]
    r.eq(f"message table renders identifiers {ids}: the text, then the first string",
         (0, want), (rc, so.replace("\r\n", "\n").splitlines()))


def bios_timer_taken_over(ctx):
    """The BIOS's OS Load watchdog ran out once (a boot hung) and runs again
    for this boot: the service takes it over, says so and reports the run-out,
    and its enable clears the OS Load flag too; a restart reports nothing."""
    r, pfx = ctx.r, ctx.pfx
    other = Bmcsim(ctx.dir, "bmcsim-bios-timer", "--control", "run-timer 2 3 1").start()
    try:
        wait_for("the first OS Load timer to run out",
                 lambda: any(e["kind"] == "expiry" for e in other.entries()), 5)
        other.control("run-timer 3000 3 1")  # the BIOS arms it again for the next boot
        pfx.write_ini(other.port)
        ev = pfx.event_mark()
        pfx.asr("-install", "-n", "300")
        r.eq("RUNNING over the BIOS's timer", "RUNNING", pfx.wait_state("RUNNING", 15)["name"])
        wait_resets(ctx_of(ctx, other), 0, 1, 15)
        reqs = [(e["cmd"], e["data"]) for e in requests(other.entries())[:3]]
        r.eq("Get, then the enable clearing the SMS/OS and OS Load flags (18h), then Reset",
             [("25", ""), ("24", set_enable(300)[:6] + "18" + set_enable(300)[8:]), ("22", "")],
             reqs)
        st = other.status()
        r.eq("bmcsim: SMS/OS, hard reset, 3000, no flag left", ("SMS/OS", "hard reset", 3000, "00"),
             (st.get("use"), st.get("action"), st.get("initial"), st.get("expired")))
        got = " | ".join(pfx.typed_events(ev))
        r.match("events: the timer taken over with the count it had left, the OS Load run-out",
                r"trace: vyrq4asr \| trace: VYR IPMI ASR: the BIOS's boot watchdog \(OS Load\) "
                # 300.0 when the Get came within 100 ms of the BIOS's arming
                r"was running with (?:2\d\d\.\d|300\.0) s left; "
                r"the service takes it over as its own timer\. "
                r"\| warn: vyrq4asr warning: 3 \| warn: VYR IPMI ASR: the BIOS's boot watchdog "
                r"\(OS Load\) ran out since its expiration flags were last cleared: a boot hung "
                r"before Windows took the timer over\.", got)
        restart_reports_nothing(ctx, other)
    finally:
        pfx.asr("-remove", key=True)
        other.stop()
        pfx.write_ini(ctx.sim.port)


def ctx_of(ctx, sim):
    return Ctx(ctx.r, ctx.pfx, sim, ctx.dir)


def restart_reports_nothing(ctx, sim):
    """sc stop, sc start: armed again with the plain enable, no entry."""
    r, pfx = ctx.r, ctx.pfx
    pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
    pfx.wait_state("STOPPED", 10)
    mark, ev = len(sim.entries()), pfx.event_mark()
    pfx.wine(["sc", "start", "vyrq4asr"], timeout=30)
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx_of(ctx, sim), mark, 1, 15)
    check_arming(r, new_entries(sim, mark), 300)
    r.eq("a restart: no event-log entries, nothing reported twice", [], pfx.typed_events(ev))


def expiry_reported_once(ctx):
    """The service's timer ran out before this install (the resets stopped):
    one warning at start, with the action; qd4probe lists the SEL's records."""
    r, pfx = ctx.r, ctx.pfx
    other = Bmcsim(ctx.dir, "bmcsim-expired", "--control", "run-timer 2 4 1").start()
    try:
        wait_for("the SMS/OS timer to run out",
                 lambda: any(e["kind"] == "expiry" for e in other.entries()), 5)
        other.control("sel-add 23 03 04")  # an older power cycle, added by the test
        pfx.write_ini(other.port)
        ev = pfx.event_mark()
        pfx.asr("-install", "-n", "300")
        pfx.wait_state("RUNNING", 15)
        wait_resets(ctx_of(ctx, other), 0, 1, 15)
        check_arming(r, other.entries(), 300)
        r.eq("the enable cleared the flag", "00", other.status().get("expired"))
        r.eq("events: the run-out with its action, once",
             ["warn: vyrq4asr warning: 4",
              "warn: VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags were last "
              "cleared, and the BMC took its timeout action (hard reset): the timer's resets had "
              "stopped, because Windows or the service hung."], pfx.typed_events(ev))
        restart_reports_nothing(ctx, other)
        pfx.asr("-remove", key=True)  # bmcsim serves one host at a time
        # Beside the prefix's library and its settings, as an administrator runs it.
        shutil.copy2(PROBE, pfx.sysdir / "qd4probe.exe")
        mark = len(other.entries())
        rc, so, _ = pfx.wine([pfx.sysdir / "qd4probe.exe"], timeout=60)
        r.eq("qd4probe sends only Gets: Device ID, Watchdog Timer, SEL Info, SEL Entry x2",
             ["01", "25", "40", "43", "43"], [e["cmd"] for e in requests(new_entries(other, mark))])
        so = so.replace("\r\n", "\n")
        r.match("qd4probe: two records, the test's power cycle first, then the expiry's reset",
                r".*\nSEL: 2 records, the latest added \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\n"
                r"  watchdog and OS records, newest first \(at most 20\):\n"
                r"  [-\d: ]+UTC  record 0002h  Watchdog 2: the timer ran out and power-cycled the "
                r"server; timer use SMS/OS: the operating system's agent stopped its resets \(a hang\)\n"
                r"  [-\d: ]+UTC  record 0001h  Watchdog 2: the timer ran out and reset the server "
                r"\(hard reset\); timer use SMS/OS[^\n]*\nresult: [^\n]*\n", so)
        r.check("qd4probe: the timer's flags in words and the timer unchanged",
                "SMS/OS no, OEM no" in so and "the timer was not changed" in so and rc == 0,
                "both lines, exit 0", so)
    finally:
        pfx.asr("-remove", key=True)
        other.stop()
        pfx.write_ini(ctx.sim.port)


def query_running(ctx):
    """-query: only the key prompt; the service stays as it is."""
    r, pfx = ctx.r, ctx.pfx
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-query", key=True)
    r.eq("-query prints only the key prompt", PROMPT, so)
    r.eq("-query exit status", 0, rc)
    q = pfx.sc_query()
    r.eq("still RUNNING after the interrogate", "RUNNING", q and q["name"])
    r.eq("interrogate sends nothing to the BMC", [],
         [e for e in new_entries(ctx.sim, mark) if e["kind"] in ("request", "disconnect")
          and e.get("cmd") != "22"])
    r.eq("no event-log entries", [], pfx.events(ev))


def install_over_running(ctx):
    """-install 300 over the running installation: stop, remove, install anew."""
    r, pfx = ctx.r, ctx.pfx
    mark = len(ctx.sim.entries())
    rc, so, _ = pfx.asr("-install", "300", key=True)
    m = re.fullmatch(re.escape("Removing existing version of service\r\n") + STOPPING
                     + REMOVED + INSTALLED + P, so, re.S)
    r.check("output: Removing existing version, Stopping ..., stopped, removed, "
            "installed and started, prompt", m is not None, "those lines", repr(so))
    if m:
        r.note(f"{len(m.group(1))} progress dot(s) while stopping")
    r.eq("exit status", 0, rc)
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    entries = new_entries(ctx.sim, mark)
    cut = next((i for i, e in enumerate(entries) if e["kind"] == "disconnect"), None)
    if cut is None:
        raise Abort("the old service's connection never closed: " + describe(entries))
    check_disable_then_close(r, entries[:cut + 1], "old service")
    check_arming(r, entries[cut + 1:], 300)


def remove_running(ctx):
    """-remove of the running service: Stopping ..., stopped, removed."""
    r, pfx = ctx.r, ctx.pfx
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-remove", key=True)
    r.match("output: Stopping ..., dots, stopped, removed, prompt", STOPPING + REMOVED + P, so)
    r.eq("exit status", 0, rc)
    r.eq("service gone from the service manager", None, pfx.sc_query())
    entries = wait_for("the connection to close",
                       lambda: (lambda es: es if any(e["kind"] == "disconnect" for e in es)
                                else None)(new_entries(ctx.sim, mark)), 5)
    check_disable_then_close(r, entries, "remove")
    r.eq("no event-log entries", [], pfx.events(ev))
    r.eq("-remove leaves the event source", EVENT_SOURCE, event_source_lower(pfx.event_source()))


def sc_stop(ctx):
    """sc stop: disable before the connection closes, STOPPED with 0."""
    r, pfx = ctx.r, ctx.pfx
    armed = len(ctx.sim.entries())
    rc, so, _ = pfx.asr("-install", "-n", "300")
    r.eq("-install -n 300 (no earlier service) prints nothing", "", so)
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, armed, 1, 15)
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
    r.eq("sc stop accepted", 0, rc)
    q = pfx.wait_state("STOPPED", 10)
    check_stopped(r, q, 0, "after sc stop")
    check_disable_then_close(r, new_entries(ctx.sim, mark), "sc stop")
    r.eq("bmcsim: timer stopped", False, ctx.sim.status().get("running"))
    r.eq("no event-log entries", [], pfx.events(ev))


def install_over_stopped(ctx):
    """-install abc over the stopped installation: the copy succeeds, creation
    finds the service, which is removed (no Stopping line) and created anew;
    a timeout text without digits runs the service with 255 s."""
    r, pfx = ctx.r, ctx.pfx
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-install", "abc", key=True)
    r.match("output: Removing existing version, removed, installed and started, prompt",
            re.escape("Removing existing version of service\r\n") + REMOVED + INSTALLED + P, so)
    r.eq("image path carries the text as given", r"C:\windows\system32\VYRIASRW.EXE abc".lower(),
         (pfx.image_path() or "").lower())
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    check_arming(r, new_entries(ctx.sim, mark), 255)
    pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
    check_stopped(r, pfx.wait_state("STOPPED", 10), 0, "stopped again")
    r.eq("no event-log entries", [], pfx.events(ev))


def remove_stopped_and_absent(ctx):
    r, pfx = ctx.r, ctx.pfx
    ev = pfx.event_mark()
    rc, so, _ = pfx.asr("-remove", key=True)
    r.eq("-remove of a stopped service: only 'removed' and the prompt",
         f"{DISPLAY} removed.\r\n{PROMPT}", so)
    r.eq("service gone", None, pfx.sc_query())
    rc, so, _ = pfx.asr("-remove", key=True)
    r.match("-remove with no service: OpenService failed ... (0x424)",
            r"OpenService failed - [^\r\n]+ \(0x424\)\r\n" + P, so)
    r.eq("exit status still 0", 0, rc)
    r.eq("no event-log entries", [], pfx.events(ev))


def no_bmc(ctx):
    """Nothing listens at the BMC's address: the event, then 0xE0010002."""
    r, pfx = ctx.r, ctx.pfx
    pfx.write_ini(free_port())
    ev = pfx.event_mark()
    rc, so, _ = pfx.asr("-install", "-n", "300")
    r.eq("-install -n 300 prints nothing, BMC or not", ("", 0), (so, rc))
    q = pfx.wait_state("STOPPED", 20)
    check_stopped(r, q, STOP_ERROR, "no BMC")
    r.note(f"sc query shows: {re.search(r'WIN32_EXIT_CODE.*', q['text']).group(0).strip()}")
    events = pfx.events(ev)
    r.check("event: 'vyrq4asr error: N', 'VYR IPMI ASR exiting; OpenQD4Driver failed.'",
            len(events) == 2 and re.fullmatch(r"vyrq4asr error: \d+", events[0]) is not None
            and events[1] == "VYR IPMI ASR exiting; OpenQD4Driver failed.",
            "those two strings", events)
    pfx.asr("-remove", key=True)
    pfx.write_ini(ctx.sim.port)


def timer_running(ctx):
    """Another software runs the timer: the service refuses and leaves it alone."""
    r, pfx = ctx.r, ctx.pfx
    other = Bmcsim(ctx.dir, "bmcsim-timer-running", "--timer-running").start()
    try:
        before = other.status()
        pfx.write_ini(other.port)
        ev = pfx.event_mark()
        rc, so, _ = pfx.asr("-install", "-n", "300")
        r.eq("-install -n 300 prints nothing, timer free or not", ("", 0), (so, rc))
        q = pfx.wait_state("STOPPED", 20)
        check_stopped(r, q, STOP_ERROR, "timer running")
        events = pfx.events(ev)
        r.check("event: 'vyrq4asr error: N', 'VYR IPMI ASR exiting; timer is not available.'",
                len(events) == 2 and re.fullmatch(r"vyrq4asr error: \d+", events[0]) is not None
                and events[1] == "VYR IPMI ASR exiting; timer is not available.",
                "those two strings", events)
        entries = wait_for("the connection to close",
                           lambda: (lambda es: es if any(e["kind"] == "disconnect" for e in es)
                                    else None)(other.entries()), 5)
        r.eq("journal: only the Get, no Set or Reset", ["25"],
             [e["cmd"] for e in requests(entries)])
        after = other.status()
        r.eq("timer untouched: still running, SMS/OS, no action, same initial count",
             (True, before.get("use"), before.get("action"), before.get("initial")),
             (after.get("running"), after.get("use"), after.get("action"), after.get("initial")))
        pfx.asr("-remove", key=True)
    finally:
        other.stop()
        pfx.write_ini(ctx.sim.port)


OWN_TIMER_TAKEN_BACK = (
    "trace: vyrq4asr", "trace: VYR IPMI ASR: the service's own timer was still running: the "
    "service had ended without disarming it (its process crashed or was ended). The service "
    "takes it back.")


def kill_service(ctx, sim):
    """SIGKILL to the service's process with the timer armed; the BMC keeps counting."""
    r, pfx = ctx.r, ctx.pfx
    pid = pfx.service_pid()
    if not pid:
        raise Abort("no Linux process running VYRIASRW.EXE in the prefix")
    mark = len(sim.entries())
    os.kill(pid, signal.SIGKILL)
    wait_for("the killed process's connection to close",
             lambda: any(e["kind"] == "disconnect" for e in new_entries(sim, mark)), 10)
    r.eq("after the kill the timer still runs, SMS/OS, 3000", (True, "SMS/OS", 3000),
         (sim.status().get("running"), sim.status().get("use"), sim.status().get("initial")))


def check_taken_back(ctx, sim, mark, ev, what):
    r, pfx = ctx.r, ctx.pfx
    r.eq(f"{what}: RUNNING", "RUNNING", pfx.wait_state("RUNNING", 20)["name"])
    wait_resets(ctx_of(ctx, sim), mark, 2, 30)
    check_arming(r, new_entries(sim, mark), 300)
    r.eq(f"{what}: the information entry says why the timer still ran",
         list(OWN_TIMER_TAKEN_BACK), wait_for("the entry", lambda: pfx.typed_events(ev), 10))


def own_timer_taken_back(ctx):
    """The service's process killed with the timer armed: the next start (the
    prefix's services started again, as after a reboot) takes its own timer
    back and keeps feeding; -install after a kill does too. After an orderly
    stop, another agent's timer set the very same way is refused."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    mark = len(sim.entries())
    pfx.asr("-install", "-n", "300")
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    kill_service(ctx, sim)
    mark, ev = len(sim.entries()), pfx.event_mark()
    pfx.reboot()
    check_taken_back(ctx, sim, mark, ev, "a start after the kill")
    kill_service(ctx, sim)
    mark, ev = len(sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-install", "300", key=True)
    r.note("-install after the kill: " + repr(so))
    check_taken_back(ctx, sim, mark, ev, "-install after the kill")
    pfx.asr("-remove", key=True)
    r.eq("after -remove the timer is stopped", False, sim.status().get("running"))
    other = Bmcsim(ctx.dir, "bmcsim-same-settings", "--control", "run-timer 3000 4 1").start()
    try:
        pfx.write_ini(other.port)
        ev = pfx.event_mark()
        pfx.asr("-install", "-n", "300")
        check_stopped(r, pfx.wait_state("STOPPED", 20), STOP_ERROR,
                      "another agent's timer set as the service sets its own")
        r.eq("it is refused: 'timer is not available.'",
             "VYR IPMI ASR exiting; timer is not available.", (pfx.events(ev) or [None])[-1])
        r.eq("and left running: only the Get was sent", ["25"],
             [e["cmd"] for e in requests(other.entries())])
        pfx.asr("-remove", key=True)
        r.eq("-remove leaves another agent's timer running", True, other.status().get("running"))
    finally:
        other.stop()
        pfx.write_ini(sim.port)


def planted_loads(folder):
    """The lines a planted copy in folder recorded: "<copy> loaded by <program>"."""
    try:
        return (folder / "planted_loads.txt").read_text("latin-1").splitlines()
    except OSError:
        return []


def library_absent(ctx):
    """Copies of a vyrqd4w.dll that records each load lie on PATH and beside
    the installer throughout: neither the installer nor the service loads
    them, only the system folder's library. Without that one, the service
    runs about 30 s and stops with the load's error (126) and an error entry,
    and the installer refuses."""
    r, pfx = ctx.r, ctx.pfx
    dll = pfx.sysdir / "vyrqd4w.dll"
    for folder in (pfx.path_folder, pfx.exe.parent):
        shutil.copy2(PLANTED_DLL, folder / "vyrqd4w.dll")
    mark = len(ctx.sim.entries())
    pfx.asr("-install", "-n", "300")
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    check_arming(r, new_entries(ctx.sim, mark), 300)
    pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
    pfx.wait_state("STOPPED", 10)
    dll.unlink()
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.wine(["sc", "start", "vyrq4asr"], timeout=30)
    r.eq("sc start accepted", 0, rc)
    pfx.wait_state("RUNNING", 15)
    t0 = time.monotonic()
    time.sleep(15)
    q = pfx.sc_query()
    r.eq("still RUNNING 15 s later", "RUNNING", q and q["name"])
    q = pfx.wait_state("STOPPED", 40)
    took = round(time.monotonic() - t0, 1)
    r.within("RUNNING to STOPPED takes about 30 s", 29.0, took, 34.0, " s")
    check_stopped(r, q, ERROR_MOD_NOT_FOUND, "library absent")
    r.eq("event: the load's error and 'vyrqd4w.dll could not be loaded.'",
         ["vyrq4asr error: 126", "VYR IPMI ASR exiting; vyrqd4w.dll could not be loaded."],
         pfx.events(ev))
    r.eq("nothing reached the BMC", [], [e["kind"] for e in new_entries(ctx.sim, mark)])
    pfx.asr("-remove", key=True)
    rc, so, _ = pfx.asr("-install", "-n", "300")
    r.eq("-install -n without the library prints nothing", "", so)
    r.eq("... and installs nothing", None, pfx.sc_query())
    rc, so, _ = pfx.asr("-install", "300", key=True)
    looked = pfx.win_sysdir + r"\vyrqd4w.dll"
    r.match("-install without the library: not found, Unable to install ... (0x7e), the path "
            "looked for and the copy to make",
            re.escape("VYR IPMI library layer not found.\r\nUnable to install "
                      f"{DISPLAY} - ") + r"[^\r\n]+ \(0x7e\)\r\n"
            + re.escape(f"Looked for {looked}: the service loads its library from there only.\r\n"
                        "Copy the BMC maker's 32-bit vyrqd4w.dll there first: copy vyrqd4w.dll "
                        f'"{looked}"\r\n') + P, so)
    folders = (pfx.path_folder, pfx.exe.parent)
    r.eq("no planted copy loaded by the installer or the service", [[], []],
         [planted_loads(f) for f in folders])
    # qd4probe loads as the service does: neither the copy beside it nor,
    # from a folder without one, the copy on PATH; the control: named with
    # --library, a planted copy does load.
    alone = ctx.dir / "probe"
    alone.mkdir(exist_ok=True)
    for folder in (alone, pfx.exe.parent):
        shutil.copy2(PROBE, folder / "qd4probe.exe")
        rc, so, _ = pfx.wine([folder / "qd4probe.exe"], timeout=60)
        r.eq(f"qd4probe from {folder.name}: exit 2, the system folder's file named",
             (2, True), (rc, f"cannot load {looked}: error 126" in so))
    r.eq("qd4probe loaded no planted copy", [0, 0],
         [sum(line.endswith("qd4probe.exe") for line in planted_loads(f)) for f in folders])
    pfx.wine([alone / "qd4probe.exe", "--library", "Z:" + str(pfx.exe.parent / "vyrqd4w.dll")
              .replace("/", "\\")], timeout=60)
    r.eq("control: qd4probe --library loaded the planted copy named", 1,
         sum(line.endswith("qd4probe.exe") for line in planted_loads(pfx.exe.parent)))
    for folder in folders:
        for name in ("vyrqd4w.dll", "planted_loads.txt", "qd4probe.exe"):
            (folder / name).unlink(missing_ok=True)
    pfx.install_dll(ctx.sim.port)


def console_start(ctx):
    """Started from a console: usage lines, the dispatcher's failure as an event."""
    r, pfx = ctx.r, ctx.pfx
    rc, so, se = pfx.wine([pfx.exe], debug="-all,err+eventlog", timeout=60)
    r.eq("four usage lines", USAGE, so)
    r.eq("exit status", 1, rc)
    events = [e for e in re.findall(r'err:eventlog:ReportEventW L"(.*)"', se)]
    r.eq("event: 'vyrq4asr error: 1063', 'StartServiceCtrlDispatcher failed.'",
         ["vyrq4asr error: 1063", "StartServiceCtrlDispatcher failed."], events)


def conformance_ipmi_sim(ctx):
    """The same DLL and service against OpenIPMI's ipmi_sim, read back by
    ipmitool over the simulator's LAN port."""
    r, pfx = ctx.r, ctx.pfx
    sim = IpmiSim(ctx.dir).start()
    try:
        wd = sim.watchdog()
        r.note(f"ipmi_sim before: {wd.get('Watchdog Timer Use')}, {wd.get('Watchdog Timer Is')}")
        pfx.write_ini(sim.vm_port)
        ev = pfx.event_mark()
        pfx.asr("-install", "-n", "300")
        q = wait_for("the service to settle (RUNNING or STOPPED)",
                     lambda: (lambda q: q if q and q["name"] in ("RUNNING", "STOPPED") else None)(
                         pfx.sc_query()), 20, interval=0.3)
        time.sleep(3)  # the failure paths stop within 2 s; past that it runs
        q = pfx.sc_query()
        if not r.eq("service RUNNING against ipmi_sim", "RUNNING", q and q["name"]):
            r.note(f"events: {pfx.events(ev)}")
            return
        wd = sim.watchdog()
        r.note("ipmitool: " + "; ".join(f"{k}: {v}" for k, v in wd.items()))
        r.check("Timer Use is SMS/OS", wd.get("Watchdog Timer Use", "").startswith("SMS/OS"),
                "SMS/OS", wd.get("Watchdog Timer Use"))
        r.check("Action is Hard Reset", wd.get("Watchdog Timer Action", "").startswith("Hard Reset"),
                "Hard Reset", wd.get("Watchdog Timer Action"))
        r.eq("Initial Countdown is the installed 300 s", "300.0 sec", wd.get("Initial Countdown"))
        r.eq("Timer Is Started/Running", "Started/Running", wd.get("Watchdog Timer Is"))
        # ipmi_sim's running bit echoes the don't-stop bit, and its Get sends
        # no present count: the record is matched on the six bytes it sends.
        pid = pfx.service_pid()
        if not pid:
            raise Abort("no Linux process running VYRIASRW.EXE in the prefix")
        os.kill(pid, signal.SIGKILL)
        ev = pfx.event_mark()
        pfx.reboot()
        r.eq("killed, then started again: RUNNING", "RUNNING", pfx.wait_state("RUNNING", 20)["name"])
        r.eq("its own timer taken back", list(OWN_TIMER_TAKEN_BACK),
             wait_for("the entry", lambda: pfx.typed_events(ev), 10))
        r.eq("Initial Countdown still 300 s, running", ("300.0 sec", "Started/Running"),
             (sim.watchdog().get("Initial Countdown"), sim.watchdog().get("Watchdog Timer Is")))
        ev = pfx.event_mark()
        rc, _, _ = pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
        q = pfx.wait_state("STOPPED", 10)
        check_stopped(r, q, 0, "after sc stop")
        wd = sim.watchdog()
        r.eq("Timer Is Stopped after the stop", "Stopped", wd.get("Watchdog Timer Is"))
        r.eq("no event-log entries", [], pfx.events(ev))
        pfx.asr("-remove", key=True)
    finally:
        sim.stop()
        pfx.write_ini(ctx.sim.port)


def pretimeout_refused(ctx):
    """-install 250 95 with dumps switched off, on a BMC without the pre-timeout
    interrupt (CCh): the plain enable at once, resets flowing, its warning
    alone; then on a BMC that takes it, the warning that no dump would come."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    set_crash_dump(pfx, 0)
    r.eq("bmcsim takes pretimeout-refuse", "ok", sim.control("pretimeout-refuse"))
    try:
        mark, ev = len(sim.entries()), pfx.event_mark()
        pfx.asr("-install", "-n", "250", "95")
        pfx.wait_state("RUNNING", 15)
        wait_resets(ctx, mark, 2, 30)
        entries = new_entries(sim, mark)
        r.eq("Sets: the enable with the NMI refused (CCh), then the plain one taken",
             [(set_enable(250, 95), "cc"), (set_enable(250), "00")],
             list(zip([e["data"] for e in requests(entries, "24")],
                      [e["cc"] for e in entries if e["kind"] == "reply" and e["cmd"] == "24"]))[:2])
        st = sim.status()
        r.eq("bmcsim: running, armed without a pre-timeout", (True, "none"),
             (st.get("running"), st.get("pretimeout")))
        r.match("event log: the BMC's refusal alone (no NMI will come: the dump settings "
                "are not judged)",
                r"warn: vyrq4asr warning: 1117 \| warn: VYR IPMI ASR: the BMC refused the "
                r"pre-timeout interrupt \(completion code CCh\); the timer is armed without it\.",
                " | ".join(pfx.typed_events(ev)))
        pfx.asr("-remove", key=True)
        r.eq("bmcsim takes pretimeout-accept", "ok", sim.control("pretimeout-accept"))
        mark, ev = len(sim.entries()), pfx.event_mark()
        pfx.asr("-install", "-n", "250", "95")
        pfx.wait_state("RUNNING", 15)
        wait_resets(ctx, mark, 1, 15)
        r.match("a BMC that takes it, dumps switched off: warning 22 after the first reset",
                r"warn: vyrq4asr warning: 0 \| warn: VYR IPMI ASR: CrashDumpEnabled under HKLM.*"
                r"CrashControl is 0: the pre-timeout NMI will restart the server without a crash "
                r"dump\. Set CrashDumpEnabled to 2 \(kernel memory dump\)\.",
                " | ".join(wait_for("the dump warning", lambda: pfx.typed_events(ev), 10)))
        pfx.asr("-remove", key=True)
    finally:
        sim.control("pretimeout-accept")
        set_crash_dump(pfx, 7)


MAIN_SEQUENCE = [
    ("install -n 300, RUNNING, armed, resets every 10.1 s", install_and_run),
    ("the event source and its message table", event_source_and_messages),
    ("-query while running", query_running),
    ("install over a running installation", install_over_running),
    ("-remove of the running service", remove_running),
    ("sc stop", sc_stop),
    ("install over a stopped installation, timeout text 'abc'", install_over_stopped),
    ("-remove of a stopped service and of none", remove_stopped_and_absent),
    ("no BMC listening", no_bmc),
    ("timer already running", timer_running),
    ("the service's process killed: its own timer taken back after a restart and a reinstall; "
     "another agent's set the same way refused", own_timer_taken_back),
    ("the BIOS's boot watchdog running and run out before: taken over, reported once",
     bios_timer_taken_over),
    ("the service's timer run out before the install: reported once; qd4probe's SEL",
     expiry_reported_once),
    ("planted vyrqd4w.dll copies, and the library absent at service start", library_absent),
    ("started from a console", console_start),
    ("conformance against ipmi_sim", conformance_ipmi_sim),
    ("-install 250 95, dumps off: a BMC that refuses the pre-timeout, then one that takes it",
     pretimeout_refused),
]


# ------------------------------------------------------- 64-bit Windows (WoW64)

def wow64_install(ctx):
    """In a 64-bit prefix the 32-bit build runs through WoW64: -install copies
    it into syswow64 and registers that path, which the 64-bit service
    manager reads as written; the service arms the BMC, -remove disarms.
    qd4probe loads the library from syswow64, as the service does."""
    r, pfx = ctx.r, ctx.pfx
    rc, so, _ = pfx.wine([PROBE, "open"], timeout=60)
    r.eq("qd4probe: the 32-bit service's copy, in syswow64, loaded", (0, True),
         (rc, r"library:   c:\windows\syswow64\vyrqd4w.dll" in so.lower()))
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, so, _ = pfx.asr("-install", "-n", "300")
    r.eq("-install -n 300 prints nothing", ("", 0), (so, rc))
    r.eq("image path names syswow64", r"C:\windows\syswow64\VYRIASRW.EXE 300".lower(),
         (pfx.image_path() or "").lower())
    windows = pfx.sysdir.parent
    r.eq("VYRIASRW.EXE in syswow64, none in system32", (True, False),
         ((windows / "syswow64" / "VYRIASRW.EXE").is_file(),
          (windows / "system32" / "VYRIASRW.EXE").is_file()))
    q = pfx.wait_state("RUNNING", 15)
    r.eq("sc query: RUNNING, exit code 0", ("RUNNING", 0), (q["name"], q["win32"]))
    wait_resets(ctx, mark, 2, 30)
    check_arming(r, new_entries(ctx.sim, mark), 300)
    mark = len(ctx.sim.entries())
    rc, so, _ = pfx.asr("-remove", key=True)
    r.match("-remove: Stopping ..., stopped, removed, prompt", STOPPING + REMOVED + P, so)
    check_disable_then_close(r, new_entries(ctx.sim, mark), "remove")
    r.eq("no event-log entries", [], pfx.events(ev))


WOW64_SEQUENCE = [
    ("-install, run and -remove in a 64-bit prefix", wow64_install),
]


# ------------------------------------------------------------------ the hang


def check_pretimeout_interrupt(r, entries, last_reset, expiry, pretimeout):
    """One NMI, timeout - pretimeout s after the last reset, sent to the host
    as the VM NMI command, and the expiry pretimeout s after it."""
    pre = [e for e in entries if e["kind"] == "pretimeout"]
    nmi = [e for e in entries if e["kind"] == "action" and e["action"] == "nmi"]
    r.eq("one pre-timeout interrupt: SMS/OS, NMI, its interval", [("SMS/OS", "NMI", pretimeout)],
         [(e.get("use"), e.get("interrupt"), e.get("seconds")) for e in pre])
    r.eq("... sent as the VM NMI command", ["send nmi"], [e.get("vm_cmd") for e in nmi])
    if pre:
        lead = (HANG_TIMEOUT - pretimeout) * 1000
        r.within(f"interrupt {HANG_TIMEOUT - pretimeout} s after the last reset (ms)", lead,
                 pre[0]["t"] - last_reset["t"], lead + EXPIRY_SLACK_MS)
        r.within(f"expiry {pretimeout} s after the interrupt (ms)", pretimeout * 1000 - 200,
                 expiry["t"] - pre[0]["t"], pretimeout * 1000 + EXPIRY_SLACK_MS)

HANG_TIMEOUT = 250
EXPIRY_SLACK_MS = 3000  # the BMC may fire up to 3 s after timeout + last reset on a loaded machine


def set_crash_dump(pfx, value):
    """CrashDumpEnabled as Windows keeps it (7: automatic memory dump), and
    NMICrashDump 1, which the service asks for where Windows (as Wine says it
    is) is older than 6.2."""
    for name, data in (("CrashDumpEnabled", value), ("NMICrashDump", 1)):
        rc, _, _ = pfx.wine(["reg", "add", CRASH_CONTROL, "/v", name, "/t", "REG_DWORD", "/d",
                             str(data), "/f"], timeout=30)
        if rc != 0:
            raise Abort(f"reg add {CRASH_CONTROL} {name} failed with {rc}")


def hang(ctx, sig, pretimeout=0):
    """The service's process frozen (SIGSTOP) or killed (SIGKILL): the resets
    stop and the BMC's timer must expire and hard-reset on time; with a
    pre-timeout, its NMI comes that many seconds before."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    name = signal.Signals(sig).name
    ev = pfx.event_mark()
    if pretimeout:
        set_crash_dump(pfx, 7)
    pfx.asr("-install", "-n", str(HANG_TIMEOUT), *([str(pretimeout)] if pretimeout else []))
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, 0, 2, 30)
    if pretimeout:
        st = sim.status()
        r.eq(f"bmcsim: armed with an NMI pre-timeout of {pretimeout} s", ("NMI", pretimeout),
             (st.get("pretimeout"), st.get("pretimeout_s")))
        r.eq("no event-log entries (a dump is configured)", [], pfx.typed_events(ev))
    pid = pfx.service_pid()
    if not pid:
        raise Abort("no Linux process running VYRIASRW.EXE in the prefix")
    if sig == signal.SIGSTOP:
        pfx.stopped_pids.add(pid)
    os.kill(pid, sig)
    t_sig = time.monotonic()
    r.note(f"{name} sent to pid {pid}")
    expiry = wait_for("the BMC's timer to expire",
                      lambda: next((e for e in sim.entries() if e["kind"] == "expiry"), None),
                      HANG_TIMEOUT + 30, interval=1)
    seen_ms = time.monotonic() * 1000  # same clock as the journal's t
    r.note(f"expiry {time.monotonic() - t_sig:.1f} s after {name}")
    entries = sim.entries()
    check_arming(r, entries, HANG_TIMEOUT, pretimeout)
    resets = [e for e in requests(entries, "22") if e["t"] < expiry["t"]]
    late = [e for e in requests(entries) if e["t"] > expiry["t"]]
    r.eq("no request after the expiry", [], late)
    since_reset = expiry["t"] - resets[-1]["t"]
    r.within(f"expiry {HANG_TIMEOUT} s after the last reset (ms)", HANG_TIMEOUT * 1000,
             since_reset, HANG_TIMEOUT * 1000 + EXPIRY_SLACK_MS)
    # Our own clock as well, polling once a second: the entry was there in time.
    r.within("expiry seen here at most timeout + 3 s after the last reset (ms)",
             HANG_TIMEOUT * 1000, round(seen_ms - resets[-1]["t"]),
             HANG_TIMEOUT * 1000 + EXPIRY_SLACK_MS + 1000)
    r.eq("expiry: SMS/OS, hard reset", ("SMS/OS", "hard reset"),
         (expiry.get("use"), expiry.get("action")))
    action = wait_for("the action entry", lambda: next(
        (e for e in sim.entries() if e["kind"] == "action" and e["action"] != "nmi"), None), 5)
    if pretimeout:
        check_pretimeout_interrupt(r, sim.entries(), resets[-1], expiry, pretimeout)
    r.eq("journal records the hard reset (VM reset command)", ("hard reset", "reset"),
         (action.get("action"), action.get("vm_cmd")))
    r.note(f"reset delivered to a connected host: {action.get('delivered')}")
    st = sim.status()
    r.eq("bmcsim: timer stopped, SMS/OS expiration flag set", (False, True),
         (st.get("running"), bool(int(st.get("expired", "0"), 16) & 0x10)))
    q = pfx.sc_query()
    r.note(f"service manager after {name}: {q and q['name']}, exit code {q and hex(q['win32'])}")
    if sig == signal.SIGKILL:
        r.check("the killed process's connection closed before the expiry",
                any(e["kind"] == "disconnect" and e["t"] < expiry["t"] for e in entries),
                "a disconnect entry", describe(entries[-6:]))
    if pretimeout:
        found_after_hang(ctx, pretimeout)


def found_after_hang(ctx, pretimeout):
    """What the administrator's qd4probe reads after the hang: the timer's NMI
    pre-timeout, and the SEL's interrupt record (offset 08h) before the reset's."""
    r, pfx = ctx.r, ctx.pfx
    shutil.copy2(PROBE, pfx.sysdir / "qd4probe.exe")
    rc, so, _ = pfx.wine([pfx.sysdir / "qd4probe.exe"], timeout=60)
    so = so.replace("\r\n", "\n")
    r.check("qd4probe: the timer's pre-timeout interrupt",
            f"pre-timeout interrupt: NMI / diagnostic interrupt, {pretimeout} s before expiry" in so,
            "the NMI and its interval", so)
    r.match("qd4probe: the reset's record, then the interrupt's, newest first",
            r".*record 0002h  Watchdog 2: the timer ran out and reset the server \(hard reset\); "
            r"timer use SMS/OS[^\n]*\n[^\n]*record 0001h  Watchdog 2: pre-timeout interrupt; "
            r"timer use SMS/OS.*", so)
