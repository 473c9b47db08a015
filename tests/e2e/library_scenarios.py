"""Our vyrqd4w.dll under Wine against bmcsim, driven by qd4probe.exe: the probe
loads it from the prefix's system folder, as the service does (a copy beside
the probe stays unloaded), calls every entry, and its output and bmcsim's
journal are checked. Then the in-box transport through the fake WMI provider.

Each probe step prints a line "<step> rc=.. cc=.. len=.. data=.. ms=..".
"""

import re
import shutil
import threading
import time

from harness import DLL, PROBE, Bmcsim, wait_for
from wmifake import install_wmifake, set_wmifake

# Arguments the probe does not know, or modes that change the timer without
# --test: each prints its usage and exits with 3 before it loads the library.
REFUSED_ARGS = [["/?"], ["full"], ["reconnect"], ["expire"], ["time", "x"], ["get", "get"],
                ["-test", "full"]]
USAGE_EXIT = 3


def library_setup(pfx, sim):
    """The library and its settings in the system folder; the probe and a
    second copy of the library in bin, outside the prefix."""
    pfx.install_dll(sim.port)
    bindir = pfx.dir / "bin"
    bindir.mkdir(exist_ok=True)
    for f in (DLL, PROBE):
        shutil.copy2(f, bindir / f.name)


class Probe:
    """One run of qd4probe: its exit status, its lines (CR removed), seconds."""

    def __init__(self, ctx, *args, timeout=60):
        t0 = time.monotonic()
        self.rc, so, _ = ctx.pfx.wine([ctx.pfx.dir / "bin" / PROBE.name] + list(args),
                                      timeout=timeout)
        self.seconds = time.monotonic() - t0
        self.text = so.replace("\r", "")
        self.lines = self.text.splitlines()

    def step(self, name):
        return next((line for line in self.lines if line.startswith(name + " ")), "")

    def ms(self, name):
        m = re.search(r" ms=(\d+)", self.step(name))
        return int(m.group(1)) if m else None

    def polls(self):
        return [line for line in self.lines if line.startswith("poll-")]


def has(entries, **fields):
    """Journal entries holding every field given (name=value)."""
    return [e for e in entries if all(e.get(k) == v for k, v in fields.items())]


def step_has(r, probe, name, text, what=None):
    line = probe.step(name)
    return r.check(what or f"{name}: {text}", text in line, f"'{name} ...{text}...'",
                   repr(line or probe.text[-300:]))


def step_fails(r, probe, name, what):
    """The step's line is there and its library status is not 0."""
    line = probe.step(name)
    return r.check(what, bool(line) and " rc=0 " not in line + " ", "a non-zero rc",
                   repr(line or probe.text[-300:]))


def out_has(r, probe, text, what):
    return r.check(what, text in probe.text, repr(text), repr(probe.text[-400:]))


def write_ini(pfx, *lines, folder=None):
    (folder or pfx.sysdir).joinpath("vyrqd4w.ini").write_bytes(
        "".join(line + "\r\n" for line in lines).encode("utf-8"))


def vm_ini(ctx, *extra):
    write_ini(ctx.pfx, "transport=vm", f"bmc=127.0.0.1:{ctx.sim.port}", *extra)


def while_dropping(sim, fn):
    """Runs fn while bmcsim drops the connection right after its next reply."""
    replies = len(has(sim.entries(), kind="reply"))
    result = {}
    t = threading.Thread(target=lambda: result.setdefault("value", fn()))
    t.start()
    wait_for("a reply to drop the connection after",
             lambda: len(has(sim.entries(), kind="reply")) > replies, 10, interval=0.05)
    sim.control("disconnect")
    t.join(90)
    return result.get("value")


def nothing_unless_told(ctx):
    r, sim = ctx.r, ctx.sim
    before = len([e for e in sim.entries() if e["kind"] in ("request", "connect")])
    for args in REFUSED_ARGS:
        p = Probe(ctx, *args)
        r.eq(f"qd4probe {' '.join(args)}: usage, exit 3", (USAGE_EXIT, True),
             (p.rc, re.search(r"^usage: qd4probe ", p.text, re.M) is not None))
    r.eq("journal: none of them reached the BMC", before,
         len([e for e in sim.entries() if e["kind"] in ("request", "connect")]))
    r.eq("the timer is untouched: not initialised", False, sim.status().get("initialised"))


def full_sequence(ctx):
    r, sim = ctx.r, ctx.sim
    p = Probe(ctx, "--test", "full")
    r.note(f"wine run: {p.seconds:.1f} s")
    r.check("first line: the mode changes the timer",
            re.match(r"qd4probe full: test mode, this changes the BMC.s watchdog timer",
                     p.lines[0] if p.lines else "") is not None,
            "the test mode's warning", repr(p.text[:200]))
    for name, text in [("version", "rc=0 value=0001"), ("get-initial", "rc=0 cc=00 len=8 data=00"),
                       ("reset-before-set", "rc=0 cc=80 len=0"),
                       ("set-enable", "rc=0 cc=00 len=0"),
                       ("get-armed", "data=04010000b80bb80b"), ("reset", "rc=0 cc=00"),
                       ("get-running", "cc=00 len=8 data=4401"),
                       ("get-small-buffer", "rc=0 cc=00 len=2 data=4401 "),
                       ("set-disable", "rc=0 cc=00"), ("get-stopped", "cc=00 len=8 data=0401"),
                       ("close", "rc=0")]:
        step_has(r, p, name, text)
    r.check("Open connects, session non-zero", re.search(r"^open rc=0 session=[1-9]", p.text, re.M)
            is not None, "open rc=0 session=N", repr(p.step("open")))
    for name, what in [("bad-session", "an unknown session fails"),
                       ("close-again", "a second Close fails"),
                       ("after-close", "Send after Close fails")]:
        step_fails(r, p, name, what)
    es = sim.entries()
    for what, fields in [
            ("version command 01", dict(cmd="version", data="01")),
            ("capabilities power|reset (03)", dict(cmd="capabilities", data="03")),
            ("Set with 44010010b80b", dict(cmd="24", name="set watchdog", data="44010010b80b")),
            ("disconnect on Close", dict(kind="disconnect", reason="closed"))]:
        r.check(f"journal: {what}", bool(has(es, **fields)), fields, "none")
    p = Probe(ctx, "time", "3")
    r.check("time 3: three Gets timed, none failed",
            re.search(r"^time n=3 us=\d+,\d+,\d+ failed=0$", p.text, re.M) is not None,
            "time n=3 us=a,b,c failed=0", repr(p.text[-200:]))


def writes(sim):
    return len([e for e in sim.entries() if e.get("name") in ("set watchdog", "reset watchdog")])


def admin_check_vm(ctx):
    """The administrator's check over the VM transport: what it reads and
    decodes, which copy and settings file it loads, settings files as Notepad
    writes them, and a line it cannot read."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    before = writes(sim)
    p = Probe(ctx, "check")
    r.eq("check exits 0", 0, p.rc)
    for text, what in [
            (f"transport: VM protocol to a simulator at 127.0.0.1:{sim.port}",
             "check names the transport and its address"),
            ("manufacturer ID 4753 (IANA), product ID 0F02h", "check decodes Get Device ID"),
            ("timer use SMS/OS, stopped", "check decodes the timer's use and state"),
            ("action on expiry: hard reset", "check decodes the timer's action"),
            ("initial countdown 256.0 s", "check reads the countdowns in seconds"),
            ("result: the BMC answered; the timer was not changed",
             "check says the timer was not changed")]:
        out_has(r, p, text, what)
    r.check("check loaded the system folder's copy, not the one beside it",
            r"library:   c:\windows\system32\vyrqd4w.dll" in p.text.lower(),
            "the system32 copy", repr(p.text[:300]))
    other = pfx.path / "drive_c" / "probe"
    other.mkdir(exist_ok=True)
    shutil.copy2(DLL, other / "vyrqd4w.dll")
    write_ini(pfx, "transport=vm", f"bmc=127.0.0.1:{sim.port}", folder=other)
    p = Probe(ctx, "--library", r"C:\probe\vyrqd4w.dll", "check")
    low = p.text.lower()
    r.eq("--library names another copy: that file and its settings, exit 0", (0, True, True),
         (p.rc, r"library:   c:\probe\vyrqd4w.dll" in low, r"settings:  c:\probe\vyrqd4w.ini" in low))
    p = Probe(ctx, "--library", r"C:\nowhere\vyrqd4w.dll", "check")
    r.eq("--library of a missing file: exit 2, the path named", (2, True),
         (p.rc, r"cannot load C:\nowhere\vyrqd4w.dll: error 126" in p.text))
    r.eq("journal: the check sent no Set or Reset", before, writes(sim))
    # As Notepad saves it: a byte-order mark, comments after values, blanks around =.
    write_ini(pfx, "\ufeff# rig", "transport = vm # simulator", f"bmc = 127.0.0.1:{sim.port}")
    p = Probe(ctx, "check")
    r.eq("check with a BOM and comments exits 0, the transport read", (0, True),
         (p.rc, f"transport: VM protocol to a simulator at 127.0.0.1:{sim.port}" in p.text))
    # A line the library cannot read fails Open: no falling back to the in-box driver.
    write_ini(pfx, "transport=vm", f"bmc=127.0.0.1:{sim.port};rig")
    p = Probe(ctx, "check")
    r.eq("check with a bad line exits 1", 1, p.rc)
    out_has(r, p, "vyrqd4w.ini, line 2 cannot be read", "check names the file and the line")
    out_has(r, p, "OpenQD4Driver: FAILED, status 11: the settings file", "Open fails with status 11")
    vm_ini(ctx)


def admin_check_inbox_absent(ctx):
    r = ctx.r
    (ctx.pfx.sysdir / "vyrqd4w.ini").unlink()
    try:
        p = Probe(ctx, "check")
        r.eq("check exits 1", 1, p.rc)
        out_has(r, p, "transport: in-box, Windows' IPMI driver through WMI",
                "check names the in-box transport")
        out_has(r, p, "OpenQD4Driver: FAILED, status 8: Windows' IPMI driver is absent",
                "check says the driver is absent (status 8)")
    finally:
        vm_ini(ctx)


def expiry(ctx):
    r = ctx.r
    p = Probe(ctx, "--test", "expire")
    step_has(r, p, "get-expired", "rc=0 cc=00 len=8 data=04010010",
             "Get after expiry: stopped, SMS/OS flag set")
    r.check("journal: the BMC's hard reset delivered to the library, which skips it",
            bool(has(ctx.sim.entries(), action="hard reset", vm_cmd="reset", delivered=True)),
            "a delivered reset entry", "none")


def no_reply(ctx):
    r = ctx.r
    r.eq("bmcsim: the next request unanswered", "ok", ctx.sim.control("noreply 1"))
    p = Probe(ctx, "get")
    step_has(r, p, "get", "rc=5 ", "an unanswered Get fails with a timeout (rc=5)")
    r.within("... within its 3 s bound", 2500, p.ms("get"), 4000, " ms")
    step_has(r, p, "close", "rc=0", "Close after a timeout: 0")


def mismatched_replies(ctx):
    r, sim = ctx.r, ctx.sim
    vm_ini(ctx, "reply_timeout_ms=1000")
    for field in ("netfn", "seq", "cmd"):
        before = len(has(sim.entries(), fault="badreply", field=field))
        sim.control(f"badreply 1 {field}")
        p = Probe(ctx, "get")
        step_has(r, p, "get", "rc=5 ", f"a reply with the wrong {field}: Get fails with 5")
        r.within("... at its 1 s bound", 950, p.ms("get"), 1500, " ms")
        r.check("journal: bmcsim sent it", len(has(sim.entries(), fault="badreply",
                                                      field=field)) > before, "one more", "none")
    sim.control("stream 8000")
    p = Probe(ctx, "drop")
    for name in ("get", "get-after-pause"):
        r.within(f"a BMC that keeps sending: {name} returns within the 1 s bound", 0, p.ms(name),
                 1500, " ms")
    sim.control("clear")
    p = Probe(ctx, "get")
    step_has(r, p, "get", "rc=0 cc=00 len=8", "after the stream a Get works")
    vm_ini(ctx)


def connection_dropped(ctx):
    r, sim = ctx.r, ctx.sim
    before = len(has(sim.entries(), cmd="version"))
    p = while_dropping(sim, lambda: Probe(ctx, "drop"))
    step_has(r, p, "get", "rc=0 cc=00", "Get before the drop: 0")
    step_has(r, p, "get-after-pause", "rc=0 cc=00", "Get after the drop connects again: 0")
    r.eq("journal: the probe connected twice", before + 2, len(has(sim.entries(), cmd="version")))


def bmc_restarted(ctx):
    """Sends fail while the BMC is away, each within the connect bound, then
    succeed on the same handle against the new BMC, whose settings are lost."""
    r, sim = ctx.r, ctx.sim
    sets = len(has(sim.entries(), name="set watchdog"))
    got = {}
    t = threading.Thread(target=lambda: got.setdefault("p", Probe(ctx, "--test", "reconnect")))
    t.start()
    wait_for("the probe's Set", lambda: len(has(sim.entries(), name="set watchdog")) > sets, 10,
             interval=0.05)
    time.sleep(0.5)
    sim.stop()
    time.sleep(1.5)
    ctx.sim = Bmcsim(ctx.dir, "bmcsim-restarted", "--port", str(sim.port)).start()
    t.join(90)
    p = got.get("p")
    if not r.check("the probe ran to its end", p is not None, "its output", "none"):
        return
    polls = p.polls()
    failed = [line for line in polls if re.search(r" rc=[1-9]", line)]
    r.check(f"Gets while the BMC is away fail (saw {len(failed)} of {len(polls)})",
            len(failed) >= 1, ">= 1", len(failed))
    slowest = max((int(m.group(1)) for m in (re.search(r" ms=(\d+)$", x) for x in failed) if m),
                  default=None)
    r.within("... each within the 2 s connect bound", 0, slowest, 2500, " ms")
    r.check("a later Get succeeds: timer stopped, settings lost",
            bool(polls) and "rc=0 cc=00 data=00" in polls[-1], "rc=0 cc=00 data=00...",
            repr(polls[-1:]))
    session = re.search(r"^open rc=0 session=(\d+)", p.text, re.M)
    r.check("every Get on the handle Open gave", session is not None and all(
        f" session={session.group(1)} " in line for line in polls), "one session", repr(polls))
    es = ctx.sim.entries()
    r.check("journal of the new BMC: version and capabilities announced",
            bool(has(es, cmd="version")) and bool(has(es, cmd="capabilities", data="03")),
            "both", "missing")
    step_has(r, p, "close", "rc=0", "Close after the restart: 0")


# Causes of a failed Open through the fake driver: the fake's fault, the
# library's status (8 driver absent, 9 access denied, 10 COM or WMI failed).
OPEN_FAULTS = [("no_class", 8), ("no_instance", 8), ("inactive", 8), ("access_denied", 9),
               ("connect_denied", 9), ("wmi_down", 10)]


def inbox_transport(ctx):
    """No settings file: Windows' IPMI driver, played by the fake WMI provider."""
    r, pfx, sim = ctx.r, ctx.pfx, ctx.sim
    install_wmifake(pfx, sim.port)
    (pfx.sysdir / "vyrqd4w.ini").unlink()
    p = Probe(ctx, "check")
    r.eq("check exits 0", 0, p.rc)
    for text, what in [("transport: in-box, Windows' IPMI driver through WMI",
                        "check names the in-box transport"),
                       ("manufacturer ID 4753 (IANA), product ID 0F02h",
                        "check decodes Get Device ID through WMI"),
                       ("action on expiry:", "check decodes the timer through WMI")]:
        out_has(r, p, text, what)
    before = len(has(sim.entries(), kind="request"))
    p = Probe(ctx, "--test", "full")
    for name, text in [("reset-before-set", "rc=0 cc=80 len=0"),
                       ("get-armed", "rc=0 cc=00 len=8 data=04010000b80bb80b"),
                       ("get-running", "cc=00 len=8 data=4401"),
                       ("get-small-buffer", "rc=0 cc=00 len=2 data=4401 "), ("close", "rc=0")]:
        step_has(r, p, name, text, f"through WMI, {name}: {text}")
    step_fails(r, p, "close-again", "a second Close fails")
    step_fails(r, p, "after-close", "Send after Close fails")
    es = sim.entries()
    r.eq("journal: the sequence's 9 requests reached bmcsim", before + 9,
         len(has(es, kind="request")))
    r.check("journal: Set with 44010010b80b through WMI",
            bool(has(es, name="set watchdog", data="44010010b80b")), "present", "none")
    for fault, status in OPEN_FAULTS:
        set_wmifake(pfx, sim.port, f"fault={fault}")
        p = Probe(ctx, "open")
        r.check(f"fault {fault}: Open fails with {status}",
                p.step("open").startswith(f"open rc={status} session=0"),
                f"'open rc={status} session=0 ...'", repr(p.step("open")))
        r.within("... at once", 0, p.ms("open"), 1000, " ms")
    for fault in ("exec_fail", "wide_cc"):
        set_wmifake(pfx, sim.port, f"fault={fault}")
        step_has(r, Probe(ctx, "get"), "get", "rc=4 ",
                 f"fault {fault}: Open works, the request fails with 4")
    # A driver that blocks 4 s: the first request ends at the 1 s bound, the
    # next (1.5 s later, still stalled) fails at once, and the close does not wait.
    write_ini(pfx, "reply_timeout_ms=1000")
    set_wmifake(pfx, sim.port, "fault=stall 4000")
    p = Probe(ctx, "drop")
    step_has(r, p, "get", "rc=5 ", "stall: the request fails with 5")
    r.within("... at its 1 s bound", 950, p.ms("get"), 1500, " ms")
    step_has(r, p, "get-after-pause", "rc=5 ", "stall: the next request fails with 5")
    r.within("... at once", 0, p.ms("get-after-pause"), 100, " ms")
    step_has(r, p, "close", "rc=0", "stall: Close returns 0 while the call is stalled")
    # The stalled call returns (the fault hits one call only), then requests work.
    set_wmifake(pfx, sim.port, "fault=stall 2000", "count=1")
    p = Probe(ctx, "--test", "reconnect")
    step_has(r, p, "set-enable", "rc=5 ", "stall: Set fails with 5 at its bound")
    fast = max((int(m.group(1)) for m in (re.search(r" rc=5 .* ms=(\d+)$", x) for x in p.polls())
                if m), default=None)
    r.within("stall: requests meanwhile fail at once", 0, fast, 100, " ms")
    r.check("stall: once it has returned, requests succeed on the same handle",
            bool(p.polls()) and "rc=0 cc=00" in p.polls()[-1], "rc=0 cc=00", repr(p.polls()[-1:]))
    vm_ini(ctx)


def no_bmc(ctx):
    r = ctx.r
    ctx.sim.stop()
    p = Probe(ctx, "open")
    r.check("Open fails (rc=3)", p.step("open").startswith("open rc=3 session=0"), "open rc=3",
            repr(p.step("open")))
    r.within("... within 2.5 s", 0, p.ms("open"), 2500, " ms")


LIBRARY_SEQUENCE = [
    ("qd4probe changes nothing unless told to", nothing_unless_told),
    ("the full sequence, and timed requests", full_sequence),
    ("the administrator's check, VM transport; settings files", admin_check_vm),
    ("the administrator's check, in-box transport without a driver", admin_check_inbox_absent),
    ("expiry: the BMC's reset command reaches the library, which skips it", expiry),
    ("no reply: Send fails within its bound", no_reply),
    ("replies that do not match, and a BMC that keeps sending", mismatched_replies),
    ("the connection dropped by the BMC", connection_dropped),
    ("the BMC restarted on the same port with its state lost", bmc_restarted),
    ("in-box transport through the fake WMI provider", inbox_transport),
    ("no BMC listening: Open fails fast", no_bmc),
]
