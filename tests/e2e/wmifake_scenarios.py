"""The fake WMI provider's own check under Wine against bmcsim:
wmifake_check.exe walks the documented call sequence and the refusals WMI
makes (its own ok/FAIL lines are relayed), then probes the fake under each
fault of wmifake.ini and each bmcsim fault that reaches a WMI client, and
finally runs as a service started by Wine's service manager.

A probe prints one line per call: "<call> hr=0x........ ... ms=N".
"""

import re
import shutil
import threading
import time

from harness import WIN_BUILD, wait_for
from library_scenarios import while_dropping
from wmifake import install_wmifake, set_wmifake

CHECK_EXE = WIN_BUILD / "tests" / "wmifake" / "wmifake_check.exe"
LOCATOR_KEY = r"HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32"
LOG = r"log=C:\wmifake.log"


def wmifake_setup(pfx, sim):
    (pfx.dir / "bin").mkdir(exist_ok=True)
    shutil.copy2(CHECK_EXE, pfx.dir / "bin" / CHECK_EXE.name)


def client(ctx, *args, timeout=60):
    rc, so, _ = ctx.pfx.wine([ctx.pfx.dir / "bin" / CHECK_EXE.name] + list(args), timeout=timeout)
    return rc, so.replace("\r", "")


def settings(ctx, *lines):
    set_wmifake(ctx.pfx, ctx.sim.port, LOG, *lines)


def line_of(text, call):
    return next((x for x in text.splitlines() if x.startswith(call + " ")), "")


def expect(r, text, what, call, pattern):
    got = line_of(text, call)
    return r.check(what, re.search(pattern, got) is not None, f"'{call} ...{pattern}'",
                   repr(got or f"no {call} line in: {text[-300:]}"))


def expect_ms(r, text, what, call, low, high):
    m = re.search(r" ms=(\d+)", line_of(text, call))
    return r.within(what, low, int(m.group(1)) if m else None, high, " ms")


def installed(ctx):
    r, pfx = ctx.r, ctx.pfx
    try:
        install_wmifake(pfx, ctx.sim.port, LOG)
        r.check("install.sh registers the fake", True)
    except Exception as e:
        r.check("install.sh registers the fake", False, "status 0", str(e))
    rc, so, _ = pfx.wine(["reg", "query", LOCATOR_KEY], timeout=30)
    r.check("the locator's InprocServer32 names wmifake.dll, threading model Both",
            "wmifake.dll" in so and re.search(r"ThreadingModel.*Both", so) is not None,
            "wmifake.dll, Both", repr(so))


def call_sequence(ctx):
    r = ctx.r
    rc, text = client(ctx, "sequence", timeout=120)
    lines = [x for x in text.splitlines() if x.startswith(("ok ", "FAIL "))]
    for x in lines:
        r.check(f"wmifake_check: {x[5:].strip()}", x.startswith("ok "), "ok", "FAIL")
    r.eq("the client ran to its end: exit 0, its checks reported", (0, True), (rc, bool(lines)))
    r.check("bmcsim's journal has the Set Watchdog Timer sent through WMI",
            any(e.get("cmd") == "24" and e.get("data") == "44010010b80b"
                for e in ctx.sim.entries()), "a Set with 44010010b80b", "none")


def healthy(ctx):
    r = ctx.r
    _, text = client(ctx, "probe")
    expect(r, text, "Get Device ID through the fake", "device-id",
           r"hr=0x00000000 cc=00 size=12 data=00")
    log = (ctx.pfx.path / "drive_c" / "wmifake.log").read_text(errors="replace")
    r.check("CoSetProxyBlanket reached the fake (impersonate)",
            re.search(r"SetBlanket .* impersonation=3", log) is not None,
            "a SetBlanket line in the log", repr(log[-300:]))


# wmifake.ini's faults: (settings, what, call, pattern, (low, high) ms or None).
INI_FAULTS = [
    (["fault=no_class"], "no_class: Next reports WBEM_E_INVALID_CLASS", "next",
     "hr=0x80041010 count=0", None),
    (["fault=no_instance"], "no_instance: WBEM_S_FALSE and none", "next",
     "hr=0x00000001 count=0", None),
    (["fault=inactive"], "inactive: one instance, Active FALSE", "next",
     "hr=0x00000000 count=1 active=0", None),
    (["fault=access_denied"], "access_denied: Next reports WBEM_E_ACCESS_DENIED", "next",
     "hr=0x80041003 count=0", None),
    (["fault=connect_denied"], "connect_denied: ConnectServer E_ACCESSDENIED", "connect",
     "hr=0x80070005", None),
    (["fault=wmi_down"], "wmi_down: ConnectServer ERROR_SERVICE_DISABLED", "connect",
     "hr=0x80070422", None),
    (["fault=slow_connect 1000"], "slow_connect 1000: ConnectServer succeeds after the wait",
     "connect", "hr=0x00000000", (900, 2500)),
    (["fault=slow_enum 3000"], "slow_enum 3000: Next for 2 s gives WBEM_S_TIMEDOUT", "next",
     "hr=0x00040004 count=0", None),
    (["fault=slow_enum 1000"], "slow_enum 1000: Next for 2 s gets the instance once it arrived",
     "next", "hr=0x00000000 count=1", (900, 2000)),
    (["fault=no_locator"], "no_locator: CoCreateInstance REGDB_E_CLASSNOTREG", "create",
     "hr=0x80040154", None),
    (["fault=exec_fail 80041008"], "exec_fail: ExecMethod fails with the given code",
     "device-id", "hr=0x80041008", None),
    (["fault=stall 1500", "count=1"], "stall 1500, count=1: the first ExecMethod fails after it",
     "device-id", "hr=0x80041001", (1400, 3000)),
]


def ini_faults(ctx):
    r = ctx.r
    for lines, what, call, pattern, bounds in INI_FAULTS:
        settings(ctx, *lines)
        _, text = client(ctx, "probe")
        expect(r, text, what, call, pattern)
        if bounds:
            expect_ms(r, text, "... its time", call, *bounds)
        if lines[-1] == "count=1":
            expect(r, text, "... the next one is served", "get-watchdog",
                   "hr=0x00000000 cc=00 size=9")
    # Lifted 2 s after the client starts: its call has stalled for well over
    # a second by then (the client's own start takes a few tenths).
    settings(ctx, "fault=stall")
    lifted = []
    lift = threading.Timer(2.0, lambda: (settings(ctx, "fault=none"),
                                         lifted.append(time.monotonic())))
    lift.start()
    _, text = client(ctx, "probe")
    ended = time.monotonic()
    lift.join()
    expect(r, text, "stall until the file changes: fails", "device-id", "hr=0x80041001")
    r.check("... not before the fault was lifted", bool(lifted) and ended >= lifted[0],
            "the client ending after the change", "it ended first")
    expect_ms(r, text, "... its time", "device-id", 1000, 4000)
    expect(r, text, "... and the next is served", "get-watchdog", "hr=0x00000000 cc=00")


def bmcsim_faults(ctx):
    r, sim = ctx.r, ctx.sim
    settings(ctx)
    r.eq("bmcsim: the next request answered C0h", "ok", sim.control("cc 1 c0"))
    _, text = client(ctx, "probe")
    expect(r, text, "busy BMC: CompletionCode C0h, ResponseData c0, size 1", "device-id",
           "hr=0x00000000 cc=c0 size=1 data=c0 ")
    settings(ctx, "reply_timeout_ms=500")
    r.eq("bmcsim: the next request unanswered", "ok", sim.control("noreply 1"))
    _, text = client(ctx, "probe")
    expect(r, text, "no reply from the BMC: ExecMethod fails", "device-id", "hr=0x80041001")
    expect_ms(r, text, "... after the driver's 500 ms", "device-id", 450, 1500)
    expect(r, text, "... the next is served", "get-watchdog", "hr=0x00000000 cc=00")
    settings(ctx)
    _, text = while_dropping(sim, lambda: client(ctx, "probe", "1500"))
    expect(r, text, "bmcsim drops the connection between two requests: the first served",
           "device-id", "hr=0x00000000 cc=00")
    expect(r, text, "... and the second (the fake connects again)", "get-watchdog",
           "hr=0x00000000 cc=00")


def as_service(ctx):
    r, pfx = ctx.r, ctx.pfx
    settings(ctx)
    shutil.copy2(CHECK_EXE, pfx.path / "drive_c" / CHECK_EXE.name)
    out = pfx.path / "drive_c" / "service.out"
    pfx.wine(["sc", "create", "wmifakecheck", "binpath=", rf"C:\{CHECK_EXE.name} service "
              r"C:\service.out", "type=", "own", "start=", "demand"], timeout=30)
    pfx.wine(["sc", "start", "wmifakecheck"], timeout=30)
    text = wait_for("the service's get-watchdog line",
                    lambda: (lambda t: t if "\nget-watchdog " in "\n" + t else None)(
                        out.read_text(errors="replace").replace("\r", "")
                        if out.exists() else ""), 10, interval=0.1)
    expect(r, text, "the service's CoCreateInstance gets the fake", "create", "hr=0x00000000")
    expect(r, text, "... and its requests reach bmcsim", "device-id",
           "hr=0x00000000 cc=00 size=12")


WMIFAKE_SEQUENCE = [
    ("install.sh registers the fake as the prefix's WMI locator", installed),
    ("the call sequence and WMI's refusals", call_sequence),
    ("healthy", healthy),
    ("faults chosen in wmifake.ini", ini_faults),
    ("bmcsim's faults through the fake", bmcsim_faults),
    ("as a service started by the service manager", as_service),
]
