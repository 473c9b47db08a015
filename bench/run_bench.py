"""Measures the service's timing under Wine against bmcsim: the reset interval
the BMC sees (idle, then with every core loaded), stop request to disable,
start to first reset, a restarted BMC's answer to the timer armed again, the
longest gap between resets taken around busy spells, CPU time per hour of
feeding, peak working set and the executable's size; and one request's cost
through the library's two transports (the VM protocol, and Windows' IPMI
driver through WMI, here the fake WMI provider), in the same run. Prints one
table and writes the same figures as JSON.

usage: /usr/bin/python3 bench/run_bench.py [--intervals N] [--stops N] [--restarts N]
                                           [--spells S,S...] [--requests N]
                                           [--requests-only] [--json FILE]
Both builds must exist, with the test vehicles (ASR_TEST_VEHICLES=ON scripts/build.sh).
"""

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402
from harness import Abort, Bmcsim, Prefix, Report, cleanup_all, requests, wait_for  # noqa: E402
from wmifake import install_wmifake  # noqa: E402

NOMINAL_S = 10.1
TIMEOUT_S = 300
SVCCTL = harness.WIN_BUILD / "bench" / "svcctl.exe"


def now_ms():
    # Python's monotonic clock is CLOCK_MONOTONIC, the clock of bmcsim's journal.
    return time.monotonic() * 1000.0


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return None
    k = min(len(ordered) - 1, max(0, int(round(p / 100.0 * (len(ordered) - 1)))))
    return ordered[k]


def summary(values):
    return {"n": len(values), "mean": sum(values) / len(values) if values else None,
            "p50": percentile(values, 50), "p99": percentile(values, 99),
            "max": max(values) if values else None}


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def reset_times(sim, since_ms):
    return [e["t"] for e in requests(sim.entries(), "22") if e["t"] >= since_ms]


def collect_intervals(sim, count, what):
    """Waits for count reset intervals from now on; returns them in seconds."""
    start = now_ms()
    wait_for(f"{count} reset intervals ({what})",
             lambda: len(reset_times(sim, start)) >= count + 1,
             timeout=(count + 3) * NOMINAL_S + 10, interval=1.0)
    ts = reset_times(sim, start)[: count + 1]
    return [(b - a) / 1000.0 for a, b in zip(ts, ts[1:])]


class Controller:
    """svcctl.exe kept running in the prefix, so that a request's moment is
    the moment it is written, not that of a new Wine process starting."""

    def __init__(self, pfx):
        self.proc = subprocess.Popen(["wine", str(SVCCTL)], env=pfx.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        harness.register_cleanup(self.close)
        if self._line() != "ready":
            raise Abort("svcctl did not start")

    def _line(self):
        return self.proc.stdout.readline().decode("latin-1").strip()

    def send(self, request):
        """Returns (moment written in ms, answer)."""
        t = now_ms()
        self.proc.stdin.write(request.encode() + b"\n")
        self.proc.stdin.flush()
        return t, self._line()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()


def first_entry_after(sim, since_ms, pred, what, timeout=30):
    return wait_for(what, lambda: next((e for e in sim.entries() if e["t"] >= since_ms and pred(e)),
                                       None), timeout, interval=0.02)


def measure_start_stop(pfx, sim, stops):
    ctl = Controller(pfx)
    start_ms, stop_ms = [], []
    for i in range(stops):
        if i > 0:
            for _ in range(50):  # the last stop may still be ending
                t_start, answer = ctl.send("start")
                if answer.startswith("ok start 1"):
                    break
                time.sleep(0.2)
            else:
                raise Abort(f"the service would not start again: {answer}")
            reset = first_entry_after(sim, t_start, lambda e: e["kind"] == "request" and
                                      e["cmd"] == "22", "the first reset after a start")
            start_ms.append(reset["t"] - t_start)
        t_stop, answer = ctl.send("stop")
        if not answer.startswith("ok stop 1"):
            raise Abort(f"the stop control failed: {answer}")
        disable = first_entry_after(sim, t_stop, lambda e: e["kind"] == "request" and
                                    e["cmd"] == "24" and e["data"] == harness.SET_DISABLE,
                                    "the disable after a stop")
        stop_ms.append(disable["t"] - t_stop)
        first_entry_after(sim, t_stop, lambda e: e["kind"] == "disconnect",
                          "the session's end after a stop")
    ctl.close()
    return start_ms, stop_ms


def measure_requests(pfx, sim, count):
    """Milliseconds per Get Watchdog Timer, timed inside qd4probe around
    SendQD4Request, through each transport to the same bmcsim: the VM protocol
    (a settings file saying so), then the in-box path (no file; the fake WMI
    provider forwards to bmcsim over the VM protocol, so its figure includes
    one VM round trip). The first request of each is left out as warm-up."""
    bindir = pfx.path / "drive_c" / "probe"
    bindir.mkdir(exist_ok=True)
    shutil.copy2(harness.DLL, bindir / "vyrqd4w.dll")
    shutil.copy2(harness.WIN_BUILD / "driverlib" / "qd4probe.exe", bindir / "qd4probe.exe")
    install_wmifake(pfx, sim.port)
    ini = bindir / "vyrqd4w.ini"
    figures = {}
    for name in ("vm", "inbox"):
        if name == "vm":
            ini.write_bytes(b"transport=vm\r\nbmc=127.0.0.1:%d\r\n" % sim.port)
        else:
            ini.unlink()
        _, so, _ = pfx.wine([bindir / "qd4probe.exe", "--library", r"C:\probe\vyrqd4w.dll", "time",
                             str(count + 1)], timeout=300)
        m = re.search(r"time n=\d+ us=([\d,]+) failed=(\d+)", so)
        if not m or m.group(2) != "0":
            raise Abort(f"qd4probe time through {name}: {so!r}")
        figures[name] = summary([int(us) / 1000.0 for us in m.group(1).split(",")[1:]])
    return figures


def measure_restarts(sim, count, outage_s=15):
    """The BMC stopped for outage_s and started again on the same port with
    its state lost: from its listen entry to the Set that arms it again. The
    outage outlasts a reset period, so the service is retrying when the BMC
    comes back. Returns the times in ms and the bmcsim now serving."""
    work, port, armed_ms = sim.journal.parent, sim.port, []
    for i in range(count):
        reset_times_before = len(requests(sim.entries(), "22"))
        wait_for("a reset before the restart",
                 lambda: len(requests(sim.entries(), "22")) > reset_times_before, 15, 0.2)
        sim.stop()
        time.sleep(outage_s)
        sim = Bmcsim(work, f"bmcsim-restart{i + 1}", "--port", str(port)).start()
        up = next(e for e in sim.entries() if e["kind"] == "listen")
        armed = first_entry_after(sim, up["t"], lambda e: e["kind"] == "request" and
                                  e["cmd"] == "24", "the Set arming the restarted BMC")
        armed_ms.append(armed["t"] - up["t"])
    return armed_ms, sim


def measure_busy_spells(sim, lengths):
    """Busy spells (every request answered C0h) of the given lengths, each
    starting 8 s after a reset so that the next falls in it; returns, for
    each, the spell's length and the longest gap between resets taken."""
    out = []
    for length in lengths:
        taken = lambda: [e["t"] for e in sim.entries()
                         if e["kind"] == "reply" and e["cmd"] == "22" and e["cc"] == "00"]
        before = len(taken())
        wait_for("a reset before the spell", lambda: len(taken()) > before, 15, 0.2)
        time.sleep(8)
        t_on = now_ms()
        sim.control("cc 1000000 c0")
        time.sleep(length)
        sim.control("clear")
        t_off = now_ms()
        wait_for("two resets taken after the spell",
                 lambda: len([t for t in taken() if t > t_off]) >= 2, 30, 0.2)
        ts = [t for t in taken() if t_on - 11000 <= t <= t_off + 11000]
        gap = max(b - a for a, b in zip(ts, ts[1:]))
        out.append({"spell_s": round((t_off - t_on) / 1000, 3), "longest_gap_s": gap / 1000})
    return out


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), "")
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(), "wine": wine}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--intervals", type=int, default=30)
    ap.add_argument("--stops", type=int, default=20)
    ap.add_argument("--requests", type=int, default=500)
    ap.add_argument("--requests-only", action="store_true",
                    help="only one request's cost through each transport")
    ap.add_argument("--restarts", type=int, default=5)
    ap.add_argument("--spells", default="5,15,30", help="busy spells' lengths in s")
    ap.add_argument("--json", default=str(ROOT / "build" / "bench" / "results.json"))
    args = ap.parse_args()

    work = ROOT / "build" / "bench" / time.strftime("run-%Y%m%d-%H%M%S")
    work.mkdir(parents=True)
    report = Report("bench")
    report.log = open(work / "commands.log", "w")
    try:
        sim = Bmcsim(work, "bmcsim").start()
        pfx = Prefix(work, report)
        pfx.create()
        pfx.install_dll(sim.port)
        print(f"bench: prefix and bmcsim ready in {work}; timeout {TIMEOUT_S} s", flush=True)
        if args.requests_only:
            print(f"bench: {args.requests} requests through each transport", flush=True)
            per_request = measure_requests(pfx, sim, args.requests)
            print("| transport | mean | p50 | p99 | max | n | unit |\n|---|---|---|---|---|---|---|")
            for name, fig in per_request.items():
                print(f"| {name} | {fig['mean']:.3f} | {fig['p50']:.3f} | {fig['p99']:.3f} "
                      f"| {fig['max']:.3f} | {fig['n']} | ms |")
            return 0

        t_install = now_ms()
        pfx.asr("-install", "-n", str(TIMEOUT_S))
        first_entry_after(sim, t_install, lambda e: e["kind"] == "request" and e["cmd"] == "22",
                          "the first reset after the install", timeout=60)
        pid = wait_for("the service's process", pfx.service_pid, 10)

        print(f"bench: idle, {args.intervals} intervals (~{args.intervals * NOMINAL_S:.0f} s)",
              flush=True)
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        idle = collect_intervals(sim, args.intervals, "idle")
        cpu_per_hour = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0) * 3600

        print(f"bench: every core loaded, {args.intervals} intervals", flush=True)
        hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                for _ in range(os.cpu_count() or 1)]
        try:
            loaded = collect_intervals(sim, args.intervals, "loaded")
        finally:
            for h in hogs:
                h.kill()
                h.wait()
        peak_kib = peak_rss_kib(pid)

        print(f"bench: {args.stops} stops and starts", flush=True)
        start_ms, stop_ms = measure_start_stop(pfx, sim, args.stops)

        print(f"bench: {args.restarts} BMC restarts, then busy spells of {args.spells} s",
              flush=True)
        pfx.wine(["sc", "start", harness.SERVICE], timeout=30)
        pfx.wait_state("RUNNING", 15)
        rearm_ms, sim = measure_restarts(sim, args.restarts)
        spells = measure_busy_spells(sim, [float(x) for x in args.spells.split(",") if x])
        pfx.asr("-remove", key=True)

        print(f"bench: {args.requests} requests through each transport", flush=True)
        per_request = measure_requests(pfx, sim, args.requests)
    except Abort as e:
        print(f"bench: aborted: {e}; logs in {work}", flush=True)
        return 1
    finally:
        cleanup_all()

    worst = max(idle + loaded)
    results = {
        "machine": machine(),
        "timeout_s": TIMEOUT_S,
        "nominal_interval_s": NOMINAL_S,
        "interval_idle_s": summary(idle),
        "interval_loaded_s": summary(loaded),
        "worst_over_nominal": worst / NOMINAL_S,
        "safety_margin_timeout_over_worst": TIMEOUT_S / worst,
        "stop_to_disable_ms": summary(stop_ms),
        "start_to_first_reset_ms": summary(start_ms),
        "bmc_answers_to_rearmed_ms": summary(rearm_ms),
        "busy_spells": spells,
        "cpu_s_per_hour": cpu_per_hour,
        "peak_rss_kib": peak_kib,
        "exe_bytes": harness.EXE.stat().st_size,
        "request_vm_ms": per_request["vm"],
        "request_inbox_ms": per_request["inbox"],
    }
    Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    Path(args.json).write_text(json.dumps(results, indent=2) + "\n")

    def row(name, s, unit, scale=1.0):
        f = lambda v: "-" if v is None else f"{v * scale:.3f}"
        print(f"| {name} | {f(s['mean'])} | {f(s['p50'])} | {f(s['p99'])} | {f(s['max'])} "
              f"| {s['n']} | {unit} |")

    m = results["machine"]
    print(f"\nmachine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}, {m['wine']}")
    print("| figure | mean | p50 | p99 | max | n | unit |\n|---|---|---|---|---|---|---|")
    row("reset interval, idle", results["interval_idle_s"], "s")
    row("reset interval, all cores loaded", results["interval_loaded_s"], "s")
    row("stop request to disable", results["stop_to_disable_ms"], "ms")
    row("start request to first reset", results["start_to_first_reset_ms"], "ms")
    row("one request, VM transport", results["request_vm_ms"], "ms")
    row("one request, in-box transport (fake WMI)", results["request_inbox_ms"], "ms")
    row("BMC answers again -> timer re-armed", results["bmc_answers_to_rearmed_ms"], "ms")
    for sp in spells:
        print(f"| longest gap between resets taken, busy spell of {sp['spell_s']:.1f} s | "
              f"{sp['longest_gap_s']:.3f} | | | | 1 | s |")
    print(f"| worst interval / nominal 10.1 s | {results['worst_over_nominal']:.4f} | | | | | |")
    print(f"| safety margin, timeout / worst interval | "
          f"{results['safety_margin_timeout_over_worst']:.1f} | | | | | |")
    print(f"| CPU time per hour of feeding | {cpu_per_hour:.3f} | | | | | s |")
    print(f"| peak resident set of the service process (Wine) | {peak_kib} | | | | | KiB |")
    print(f"| size of vyriasrw.exe (stripped) | {results['exe_bytes']} | | | | | bytes |")
    print(f"\nfigures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
