"""Runs the tests under Wine in twelve groups, each in a prefix of its own
with a bmcsim of its own. In the background, the groups that mostly wait: the
two hangs (about 250 s each), the long outage (about 130 s), the in-box
transport's hang and the health checks (about 7 minutes, most of it a 250 s
timeout running out). In the foreground, one after the other once the background
groups have their prefixes (so that no reset timing is measured while wineboot
loads the cores): the main sequence, the BMC faults, the 32-bit build in a
64-bit prefix (wow64), the Windows Installer package (msi), the in-box
transport's scenarios (through the fake WMI provider), our driver library
driven by qd4probe (library) and the fake WMI provider's own check (wmifake).

usage: run_e2e.py [--only GROUP]... [--skip GROUP]...   (GROUP: one of GROUPS below)
                  [--step TEXT]...   (only the steps whose titles hold one of the texts)
"""

import argparse
import shutil
import signal
import sys
import threading
import time
import traceback

import fault_scenarios
import harness
import health_scenarios
import inbox_scenarios
import library_scenarios
import msi_scenarios
import scenarios
import wmifake
import wmifake_scenarios
from harness import ROOT, Abort, Bmcsim, Prefix, Report, cleanup_all, out


STEPS = None  # --step: the titles' texts to run
GROUPS = ["main", "faults", "wow64", "hang-stop", "hang-kill", "outage", "msi", "inbox",
          "inbox-hang", "library", "wmifake", "health"]


def recover(ctx):
    """After an aborted scenario: no service left, the DLL and its settings back."""
    try:
        ctx.pfx.wine(["sc", "stop", "vyrq4asr"], timeout=30)
        ctx.pfx.wait_state("STOPPED", 10)
    except Abort:
        pass
    try:
        ctx.pfx.asr("-remove", key=True)
        ctx.setup(ctx.pfx, ctx.sim)
    except Exception as e:
        out(f"     recovery after the aborted scenario failed: {e!r}")


def vm_setup(pfx, sim):
    pfx.install_dll(sim.port)


def run_group(name, workroot, steps, ready=None, setup=vm_setup, wow64=False):
    r = Report(name)
    gdir = workroot / name
    gdir.mkdir(parents=True)
    r.log = open(gdir / "commands.log", "w")
    pfx = Prefix(gdir, r, wow64=wow64)
    sim = Bmcsim(gdir, "bmcsim")
    try:
        try:
            sim.start()
            took = pfx.create()
            setup(pfx, sim)
            r.note(f"prefix {pfx.path} made in {took:.1f} s; bmcsim on 127.0.0.1:{sim.port}, "
                   f"control {sim.control_port}")
        except Exception as e:
            r.check(f"{name}: a fresh prefix and bmcsim", False, "both ready", repr(e))
            r.flush("setup")
            return
        finally:
            if ready:
                ready.set()
        r.flush("setup")
        ctx = scenarios.Ctx(r, pfx, sim, gdir)
        ctx.setup = setup
        for title, fn in steps:
            if STEPS and not any(t in title for t in STEPS):
                continue
            t0 = time.monotonic()
            try:
                fn(ctx)
            except Abort as e:
                r.check(f"{title}: ran to its end", False, "every wait satisfied", str(e))
                recover(ctx)
            except Exception:
                r.check(f"{title}: ran to its end", False, "no error",
                        traceback.format_exc().strip().replace("\n", " | "))
                recover(ctx)
            r.flush(f"{title} ({time.monotonic() - t0:.1f} s)")
    finally:
        pfx.destroy()
        sim.stop()
        r.log.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", action="append", choices=GROUPS)
    ap.add_argument("--skip", action="append", choices=GROUPS, default=[])
    ap.add_argument("--step", action="append")
    args = ap.parse_args()
    only = set(args.only or GROUPS) - set(args.skip)
    global STEPS
    STEPS = args.step

    for f in (harness.BMCSIM, harness.EXE, harness.DLL, msi_scenarios.MSI, wmifake.WMIFAKE_DLL,
              harness.PROBE, harness.PLANTED_DLL, wmifake_scenarios.CHECK_EXE):
        if not f.is_file():
            print(f"e2e: missing {f}: build first (ASR_TEST_VEHICLES=ON bash scripts/build.sh)")
            print("e2e: 0 passed, 1 failed")
            return 1

    def on_signal(signum, _frame):
        raise SystemExit(f"e2e: interrupted by signal {signum}")
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    workroot = ROOT / "build" / "e2e" / time.strftime("run-%Y%m%d-%H%M%S")
    workroot.mkdir(parents=True)
    t_start = time.monotonic()
    threads, readies = [], []
    try:
        # The frozen process's hang carries the pre-timeout NMI too; the killed
        # one's the plain enable.
        background = [(name, [(f"the hang: {signal.Signals(sig).name} the service's process, "
                               f"timeout 250 s{extra}",
                               lambda c, s=sig, p=pre: scenarios.hang(c, s, p))])
                      for name, sig, pre, extra in (
                          ("hang-stop", signal.SIGSTOP, 95, ", pre-timeout 95 s"),
                          ("hang-kill", signal.SIGKILL, 0, ""))]
        background = [(name, steps, vm_setup) for name, steps in background]
        background.append(("outage", fault_scenarios.OUTAGE_SEQUENCE, vm_setup))
        background.append(("inbox-hang", inbox_scenarios.INBOX_HANG_SEQUENCE,
                           inbox_scenarios.use_inbox))
        background.append(("health", health_scenarios.HEALTH_SEQUENCE, vm_setup))
        for name, steps, setup in background:
            if name not in only:
                continue
            ready = threading.Event()
            t = threading.Thread(target=run_group, daemon=True,
                                 args=(name, workroot, steps, ready, setup))
            t.start()
            threads.append(t)
            readies.append(ready)
        out(f"== e2e: {len(threads)} long group(s) started in the background; work in {workroot}")
        for ready in readies:
            ready.wait(240)
        if "main" in only:
            run_group("main", workroot, scenarios.MAIN_SEQUENCE)
        if "faults" in only:
            run_group("faults", workroot, fault_scenarios.FAULT_SEQUENCE)
        # The 32-bit build in a 64-bit prefix, where the machine runs both.
        if "wow64" in only and harness.WINEARCH == "win32":
            run_group("wow64", workroot, scenarios.WOW64_SEQUENCE, wow64=True)
        elif "wow64" in only:
            out("== [wow64] skipped: this machine runs only the 64-bit build")
        # These measure timing too, and msiexec loads the cores: one at a time.
        if "msi" in only:
            run_group("msi", workroot, msi_scenarios.MSI_SEQUENCE)
        if "inbox" in only:
            run_group("inbox", workroot, inbox_scenarios.INBOX_SEQUENCE,
                      setup=inbox_scenarios.use_inbox)
        if "library" in only:
            run_group("library", workroot, library_scenarios.LIBRARY_SEQUENCE,
                      setup=library_scenarios.library_setup)
        if "wmifake" in only:
            run_group("wmifake", workroot, wmifake_scenarios.WMIFAKE_SEQUENCE,
                      setup=wmifake_scenarios.wmifake_setup)
        for t in threads:
            t.join(max(1, 600 - (time.monotonic() - t_start)))
            if t.is_alive():
                late = Report("e2e")
                late.check("hang groups finished within 600 s", False, "finished", "still running")
                late.flush()
    except BaseException as e:  # interrupted, or a fault of the harness itself
        stop = Report("e2e")
        stop.check("the run ends on its own", False, "no interruption",
                   str(e) or type(e).__name__)
        stop.flush()
        raise
    finally:
        cleanup_all()
        tot = harness.totals()
        out(f"== e2e: took {time.monotonic() - t_start:.0f} s")
        if tot["failed"] == 0:
            shutil.rmtree(workroot, ignore_errors=True)
        else:
            out(f"e2e: logs of the failed run kept in {workroot}")
        out(f"e2e: {tot['passed']} passed, {tot['failed']} failed")
    return 0 if tot["failed"] == 0 and tot["passed"] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
