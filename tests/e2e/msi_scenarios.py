"""End-to-end scenarios of the Windows Installer package: msiexec under Wine
installs, upgrades and removes the service against bmcsim. Each asserts the
BMC's journal, sc query, the service's registry key and the files. Install
logs (/l*v) are written to the group's folder under build/e2e (Wine's Z: is /).
"""

import hashlib
import os
import re
import subprocess

from harness import (DISPLAY, DLL, EVENT_SOURCE, EXE, PROMPT, ROOT, SERVICE, SET_DISABLE,
                     WIN_BUILD, WINEARCH, Bmcsim, event_source_lower, requests, service_description,
                     set_enable)
from scenarios import (REMOVED, RESET_HIGH, RESET_LOW, STOPPING, Ctx, check_arming,
                       check_disable_then_close, new_entries, wait_resets)

MSI = WIN_BUILD / "vyriasrw.msi"
ARCH = "x86" if WINEARCH == "win32" else "x64"
# Windows' ERROR_INSTALL_FAILURE; a Linux exit status keeps its low byte.
INSTALL_FAILURE = 1603 & 0xFF
PRODUCT = "VYR IPMI ASR"


def winpath(path):
    return "Z:" + str(path).replace("/", "\\")


def msiexec(ctx, log, *args):
    """msiexec with a verbose install log in the group's folder; its own
    output goes to commands.log. Returns (exit status, stderr)."""
    rc, _, se = ctx.pfx.wine(["msiexec"] + list(args) + ["/l*v", winpath(ctx.dir / f"{log}.log")],
                             timeout=120, debug="-all,err+msi")
    return rc, se


def service_key(pfx):
    """The service's registry values as {name: text}, None when there is no key."""
    rc, so, _ = pfx.wine(["reg", "query", rf"HKLM\System\CurrentControlSet\Services\{SERVICE}"],
                         timeout=30)
    if rc != 0:
        return None
    return {m.group(1): m.group(2) for m in
            re.finditer(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", so, re.M)}


def installed_products(pfx):
    """{product code: DisplayVersion} of every installed product named PRODUCT."""
    _, so, _ = pfx.wine(["reg", "query",
                         r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s"], timeout=30)
    found = {}
    for block in re.split(r"\r?\n(?=HKEY_)", so):
        if re.search(rf"DisplayName\s+REG_SZ\s+{re.escape(PRODUCT)}\s*$", block, re.M):
            m = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", block)
            found[block.strip().splitlines()[0].rsplit("\\", 1)[-1].strip()] = m and m.group(1)
    return found


def installed_versions(pfx):
    return sorted(installed_products(pfx).values())


def start_clean(ctx):
    """After a scenario that failed half-way: no product of ours left installed."""
    for code in installed_products(ctx.pfx):
        msiexec(ctx, "cleanup", "/x", code, "/qn")


def digest(path):
    try:
        return hashlib.sha256(path.read_bytes()).hexdigest()
    except OSError:
        return None


def shutdown_allowance(pfx):
    """The ShutdownAllowance value under the service's Parameters, None when absent."""
    rc, so, _ = pfx.wine(["reg", "query",
                          rf"HKLM\System\CurrentControlSet\Services\{SERVICE}\Parameters",
                          "/v", "ShutdownAllowance"], timeout=30)
    m = re.search(r"ShutdownAllowance\s+(REG_\w+)\s+(\S+)", so)
    return (m.group(1), int(m.group(2), 0)) if rc == 0 and m else None


def check_service(ctx, what, timeout_arg):
    """Registry key as -install writes it, RUNNING, the executable in place."""
    r, pfx = ctx.r, ctx.pfx
    image = r"c:\windows\system32\vyriasrw.exe" + (f" {timeout_arg}" if timeout_arg else "")
    key = service_key(pfx) or {}
    r.eq(f"{what}: ImagePath, Type, Start, ErrorControl, ObjectName, DisplayName, Description",
         (image, "0x110", "0x2", "0x1", "LocalSystem", DISPLAY, service_description()),
         (key.get("ImagePath", "").lower(), key.get("Type"), key.get("Start"),
          key.get("ErrorControl"), key.get("ObjectName"), key.get("DisplayName"),
          key.get("Description")))
    q = pfx.wait_state("RUNNING", 15)
    r.eq(f"{what}: sc query RUNNING, exit code 0", ("RUNNING", 0), (q["name"], q["win32"]))
    r.eq(f"{what}: VYRIASRW.EXE in the system folder is the build's", digest(EXE),
         digest(pfx.sysdir / "VYRIASRW.EXE"))
    r.eq(f"{what}: the event source's key", EVENT_SOURCE, event_source_lower(pfx.event_source()))


def check_gone(ctx, what):
    r, pfx = ctx.r, ctx.pfx
    r.eq(f"{what}: no service, no key, no VYRIASRW.EXE, no product", (None, None, False, []),
         (pfx.sc_query(), service_key(pfx), (pfx.sysdir / "VYRIASRW.EXE").exists(),
          installed_versions(pfx)))
    r.eq(f"{what}: no event source key", None, pfx.event_source())


def install_silent(ctx):
    """msiexec /i /qn TIMEOUT=300 SHUTDOWNALLOWANCE=900: armed with 3000, resets
    flowing, the allowance written."""
    r, pfx = ctx.r, ctx.pfx
    mark, ev = len(ctx.sim.entries()), pfx.event_mark()
    rc, se = msiexec(ctx, "install", "/i", winpath(MSI), "/qn", "TIMEOUT=300",
                     "SHUTDOWNALLOWANCE=900")
    r.eq("msiexec /i /qn TIMEOUT=300 SHUTDOWNALLOWANCE=900 exit status", 0, rc)
    check_service(ctx, "installed", "300")
    r.eq("ShutdownAllowance under Parameters: REG_DWORD 900", ("REG_DWORD", 900),
         shutdown_allowance(pfx))
    r.eq("one product installed, version 1.05", ["1.05"], installed_versions(pfx))
    resets = wait_resets(ctx, mark, 2, 30)
    check_arming(r, new_entries(ctx.sim, mark), 300)
    r.within("resets flowing: second reset after 10.1 s", RESET_LOW,
             round((resets[1]["t"] - resets[0]["t"]) / 1000, 3), RESET_HIGH, " s")
    r.check("install log kept", (ctx.dir / "install.log").stat().st_size > 0, "a log", "empty")
    r.eq("no event-log entries", [], pfx.events(ev))


def uninstall(ctx):
    """msiexec /x: the disable reaches the BMC before the service goes; the
    library the package did not install stays."""
    r, pfx = ctx.r, ctx.pfx
    dll = digest(pfx.sysdir / "vyrqd4w.dll")
    mark = len(ctx.sim.entries())
    rc, _ = msiexec(ctx, "uninstall", "/x", winpath(MSI), "/qn")
    r.eq("msiexec /x exit status", 0, rc)
    check_disable_then_close(r, new_entries(ctx.sim, mark), "uninstall, when msiexec returns")
    check_gone(ctx, "uninstalled")
    r.eq("vyrqd4w.dll (not the package's) untouched", dll, digest(pfx.sysdir / "vyrqd4w.dll"))


def reinstall(ctx):
    """Again, without TIMEOUT: no argument, the service's default 255 s; a
    SHUTDOWNALLOWANCE beyond 6553 is said in the log and not written."""
    start_clean(ctx)
    r = ctx.r
    mark = len(ctx.sim.entries())
    rc, _ = msiexec(ctx, "reinstall", "/i", winpath(MSI), "/qn", "SHUTDOWNALLOWANCE=99999")
    r.eq("reinstall exit status", 0, rc)
    check_service(ctx, "reinstalled", None)
    r.eq("SHUTDOWNALLOWANCE=99999: not written", None, shutdown_allowance(ctx.pfx))
    text = log_text(ctx.dir / "reinstall.log")
    r.check("install log: SHUTDOWNALLOWANCE=99999 is not usable, from 255 to 6553",
            "SHUTDOWNALLOWANCE=99999 is not usable: it takes whole seconds from 255" in text,
            "that line", [line for line in text.splitlines() if "ConfigureService" in line])
    wait_resets(ctx, mark, 1, 15)
    check_arming(r, new_entries(ctx.sim, mark), 255)
    rc, _ = msiexec(ctx, "uninstall-2", "/x", winpath(MSI), "/qn")
    check_gone(ctx, "uninstalled again")


def install_with_pretimeout(ctx):
    """TIMEOUT=250 PRETIMEOUT=95: both on the service's command line, armed with
    the NMI; PRETIMEOUT alone comes after the default 255."""
    start_clean(ctx)
    r = ctx.r
    for props, args, timeout in ((["TIMEOUT=250", "PRETIMEOUT=95"], "250 95", 250),
                                 (["PRETIMEOUT=95"], "255 95", 255)):
        what = " ".join(props)
        mark = len(ctx.sim.entries())
        rc, _ = msiexec(ctx, "pretimeout-" + args.replace(" ", "-"), "/i", winpath(MSI), "/qn",
                        *props)
        r.eq(f"msiexec /i /qn {what} exit status", 0, rc)
        check_service(ctx, what, args)
        wait_resets(ctx, mark, 1, 15)
        check_arming(r, new_entries(ctx.sim, mark), timeout, 95)
        rc, _ = msiexec(ctx, "pretimeout-uninstall", "/x", winpath(MSI), "/qn")
        check_gone(ctx, f"{what} uninstalled")


def over_install_command(ctx):
    """The package over a service made by -install: stop with disarm, then the
    package's own; -remove then removes the package-made service."""
    start_clean(ctx)
    r, pfx = ctx.r, ctx.pfx
    mark = len(ctx.sim.entries())
    pfx.asr("-install", "-n", "250")
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)
    mark = len(ctx.sim.entries())
    rc, _ = msiexec(ctx, "over-install", "/i", winpath(MSI), "/qn", "TIMEOUT=300")
    r.eq("msiexec over -install exit status", 0, rc)
    check_service(ctx, "over -install", "300")
    wait_resets(ctx, mark, 1, 15)
    entries = new_entries(ctx.sim, mark)
    cut = next((i for i, e in enumerate(entries) if e["kind"] == "disconnect"), len(entries) - 1)
    check_disable_then_close(r, entries[:cut + 1], "-install's service")
    check_arming(r, entries[cut + 1:], 300)

    mark = len(ctx.sim.entries())
    rc, so, _ = pfx.asr("-remove", key=True)
    r.match("-remove of the package's service: Stopping ..., stopped, removed",
            STOPPING + REMOVED + re.escape(PROMPT), so)
    r.eq("-remove: service and key gone", (None, None), (pfx.sc_query(), service_key(pfx)))
    check_disable_then_close(r, new_entries(ctx.sim, mark), "-remove")
    rc, _ = msiexec(ctx, "uninstall-3", "/x", winpath(MSI), "/qn")
    r.eq("msiexec /x after -remove exit status", 0, rc)
    check_gone(ctx, "after -remove and msiexec /x")


def upgrade(ctx):
    """1.04 then 1.05: at most one disarm, then armed again; 1.04 over 1.05
    is refused and the running service left alone."""
    start_clean(ctx)
    r, pfx = ctx.r, ctx.pfx
    old = ctx.dir / "vyriasrw-1.04.msi"
    subprocess.run(["bash", str(ROOT / "packaging" / "build_msi.sh"), ARCH, str(WIN_BUILD),
                    str(old), "1.04"], check=True, capture_output=True)
    mark = len(ctx.sim.entries())
    rc, _ = msiexec(ctx, "old", "/i", winpath(old), "/qn", "TIMEOUT=300")
    r.eq("1.04 installed", (0, ["1.04"]), (rc, installed_versions(pfx)))
    pfx.wait_state("RUNNING", 15)
    wait_resets(ctx, mark, 1, 15)

    mark = len(ctx.sim.entries())
    rc, _ = msiexec(ctx, "upgrade", "/i", winpath(MSI), "/qn", "TIMEOUT=300")
    r.eq("1.05 over 1.04: exit status, only 1.05 installed", (0, ["1.05"]),
         (rc, installed_versions(pfx)))
    check_service(ctx, "upgraded", "300")
    resets = wait_resets(ctx, mark, 1, 15)
    sets = [e["data"] for e in requests(new_entries(ctx.sim, mark), "24")]
    r.eq("upgrade: one disarm, then armed again with 3000", [SET_DISABLE, set_enable(300)], sets)
    r.check("upgrade: resets after the new arming", len(resets) >= 1, "a reset", "none")

    mark = len(ctx.sim.entries())
    rc, se = msiexec(ctx, "downgrade", "/i", winpath(old), "/qn", "TIMEOUT=300")
    r.eq("1.04 over 1.05 refused (1603) by the launch condition", (INSTALL_FAILURE, True),
         (rc, 'action L"LaunchConditions" returned 1603' in se))
    r.eq("downgrade: 1.05 stays, RUNNING, no Set sent", (["1.05"], "RUNNING", []),
         (installed_versions(pfx), (pfx.sc_query() or {}).get("name"),
          requests(new_entries(ctx.sim, mark), "24")))
    msiexec(ctx, "uninstall-4", "/x", winpath(MSI), "/qn")
    check_gone(ctx, "upgrade's uninstall")


def driver_library(ctx):
    """ADDLOCAL=DriverLibrary installs our vyrqd4w.dll and removes it again;
    over a library already there it is refused and that library untouched."""
    start_clean(ctx)
    r, pfx = ctx.r, ctx.pfx
    lib = pfx.sysdir / "vyrqd4w.dll"
    lib.unlink()  # the settings file vyrqd4w.ini stays: it points the DLL at bmcsim
    rc, se = msiexec(ctx, "library-missing", "/i", winpath(MSI), "/qn", "TIMEOUT=300")
    r.eq("no vyrqd4w.dll in the system folder and no ADDLOCAL: refused (1603)",
         (INSTALL_FAILURE, True), (rc, 'action L"RefuseMissingLibrary" returned 1603' in se))
    check_gone(ctx, "refused for want of a library")
    mark = len(ctx.sim.entries())
    rc, _ = msiexec(ctx, "library", "/i", winpath(MSI), "/qn", "ADDLOCAL=DriverLibrary",
                    "TIMEOUT=300")
    r.eq("ADDLOCAL=DriverLibrary exit status", 0, rc)
    r.eq("the package's vyrqd4w.dll installed", digest(DLL), digest(lib))
    check_service(ctx, "with the library", "300")
    wait_resets(ctx, mark, 1, 15)
    check_arming(r, new_entries(ctx.sim, mark), 300)
    msiexec(ctx, "uninstall-5", "/x", winpath(MSI), "/qn")
    check_gone(ctx, "library feature uninstalled")
    r.eq("the package's vyrqd4w.dll removed", False, lib.exists())

    pfx.install_dll(ctx.sim.port)  # stands for the maker's library
    os.utime(lib, (1000000000, 1000000000))
    before = (digest(lib), lib.stat().st_mtime)
    rc, se = msiexec(ctx, "library-refused", "/i", winpath(MSI), "/qn", "ADDLOCAL=DriverLibrary")
    r.eq("ADDLOCAL=DriverLibrary over an existing vyrqd4w.dll refused (1603)",
         (INSTALL_FAILURE, True), (rc, 'action L"RefuseExistingLibrary" returned 1603' in se))
    r.eq("existing vyrqd4w.dll untouched (content, time)", before,
         (digest(lib), lib.stat().st_mtime))
    check_gone(ctx, "refused installation")


def log_text(path):
    data = path.read_bytes()
    return data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("latin-1")


def uninstall_while_busy(ctx):
    """msiexec /x while the BMC refuses 70 requests: the service gives its
    disable up after 10 s, and the stop action says in the log that the timer
    may still be armed; then, the service stopped and the BMC answering
    again, it disarms the timer the service left running."""
    start_clean(ctx)
    r, pfx = ctx.r, ctx.pfx
    sim = Bmcsim(ctx.dir, "bmcsim-busy-uninstall").start()
    try:
        pfx.write_ini(sim.port)
        mark = len(sim.entries())
        rc, _ = msiexec(ctx, "busy-install", "/i", winpath(MSI), "/qn", "TIMEOUT=300")
        r.eq("installed", 0, rc)
        pfx.wait_state("RUNNING", 15)
        wait_resets(Ctx(r, pfx, sim, ctx.dir), mark, 1, 15)
        # More busy answers than the stop's 10 s of tries (51) take.
        r.eq("bmcsim busy for the next 70 requests", "ok", sim.control("cc 70 c0"))
        rc, _ = msiexec(ctx, "busy-uninstall", "/x", winpath(MSI), "/qn")
        r.eq("msiexec /x exit status", 0, rc)
        text = log_text(ctx.dir / "busy-uninstall.log")
        r.check("install log: the service stopped, but the timer may still be armed (0x45d)",
                re.search(re.escape(f"{DISPLAY} stopped, but the timer may still be armed - ")
                          + r"[^\r\n]* \(0x45d\)", text) is not None, "that line",
                [line for line in text.splitlines() if "StopServiceAndWait" in line
                 or "armed" in line])
        r.check("install log: the timer the service left running is disarmed",
                "StopServiceAndWait: the timer the service left running is disarmed" in text,
                "that line", [line for line in text.splitlines() if "StopServiceAndWait" in line])
        r.eq("bmcsim: the timer stopped", False, sim.status().get("running"))
        check_gone(ctx, "uninstalled while busy")
    finally:
        sim.stop()
        pfx.write_ini(ctx.sim.port)


MSI_SEQUENCE = [
    ("msiexec /i /qn TIMEOUT=300", install_silent),
    ("msiexec /x", uninstall),
    ("reinstall without TIMEOUT", reinstall),
    ("TIMEOUT=250 PRETIMEOUT=95, and PRETIMEOUT alone", install_with_pretimeout),
    ("the package over an -install installation, then -remove", over_install_command),
    ("upgrade 1.04 to 1.05, and 1.04 over 1.05 refused", upgrade),
    ("the driver library feature, its refusal over an existing library and without any",
     driver_library),
    ("uninstall while the BMC refuses the disable", uninstall_while_busy),
]
