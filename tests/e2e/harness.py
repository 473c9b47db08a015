"""Building blocks of the end-to-end tests: a throwaway Wine prefix with its own
service manager, bmcsim and ipmi_sim as child processes, bounded waits, and
the check reporting.

Everything started here is registered in CLEANUP and torn down by
cleanup_all(), which run_e2e.py calls on every exit path (normal end, failed
check, exception, SIGINT/SIGTERM).
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HOST_BUILD = ROOT / "build" / "host"
# The 32-bit build, or the 64-bit one where this machine cannot run 32-bit
# programs (scripts/wine_select.sh decides and exports both).
WIN_BUILD = Path(os.environ.get("ASR_WIN_BUILD", ROOT / "build" / "win32"))
WINEARCH = os.environ.get("ASR_WINEARCH", "win32")
BMCSIM = HOST_BUILD / "bmcsim" / "bmcsim"
EXE = WIN_BUILD / "vyriasrw.exe"
DLL = WIN_BUILD / "driverlib" / "vyrqd4w.dll"
PROBE = WIN_BUILD / "driverlib" / "qd4probe.exe"
# A vyrqd4w.dll that only records each load in planted_loads.txt beside it.
PLANTED_DLL = WIN_BUILD / "tests" / "planted_dll" / "vyrqd4w.dll"

SERVICE = "vyrq4asr"
EVENT_SOURCE_KEY = rf"HKLM\System\CurrentControlSet\Services\EventLog\System\{SERVICE}"
# What -install and the package write there: the installed executable's
# message table, error, warning and information entries.
EVENT_SOURCE = {"EventMessageFile": ("REG_EXPAND_SZ", r"c:\windows\system32\vyriasrw.exe"),
                "TypesSupported": ("REG_DWORD", "0x7")}
EVENT_MESSAGES = WIN_BUILD / "tests" / "windows_build" / "event_messages.exe"
PROBE = WIN_BUILD / "driverlib" / "qd4probe.exe"


def service_description():
    """The description -install and the package register (cli/service_config.h)."""
    header = (ROOT / "cli" / "service_config.h").read_text()
    m = re.search(r"#define SERVICE_DESCRIPTION_TEXT((?:.*\\\n)*.*)", header)
    return "".join(re.findall(r'"([^"]*)"', m.group(1))) if m else None


def event_ids():
    """Every event identifier that service/event_ids.h defines."""
    text = (ROOT / "service" / "event_ids.h").read_text()
    return sorted({int(v) for v in re.findall(r"^#define EVENT_\w+\s+(\d+)\s*$", text, re.M)})


def event_source_lower(values):
    """The values with their texts in lower case (Wine keeps the case given)."""
    return values and {k: (t, v.lower()) for k, (t, v) in values.items()}
DISPLAY = "VYR Automatic Server Restart Service for IPMI"
PROMPT = "Press any key to continue.\r\n"
STOP_ERROR = 0xE0010002

# Watchdog request data as the service sends it (Set Watchdog Timer, 6 bytes).
SET_DISABLE = "04010010000a"


def set_enable(timeout_s, pretimeout_s=0):
    """The enable's data; with a pre-timeout, an NMI (21h) that many seconds early."""
    count = timeout_s * 10
    return "44%02x%02x10%02x%02x" % (0x21 if pretimeout_s else 0x01, pretimeout_s, count & 0xFF,
                                     count >> 8)


# Where Windows keeps its crash dump settings.
CRASH_CONTROL = r"HKLM\System\CurrentControlSet\Control\CrashControl"


_print_lock = threading.Lock()
_totals = {"passed": 0, "failed": 0}
_cleanup_lock = threading.Lock()
CLEANUP = []  # callables, run last-in first-out by cleanup_all()


def totals():
    return dict(_totals)


def register_cleanup(fn):
    with _cleanup_lock:
        CLEANUP.append(fn)


def cleanup_all():
    with _cleanup_lock:
        todo = list(reversed(CLEANUP))
        CLEANUP.clear()
    for fn in todo:
        try:
            fn()
        except Exception as e:  # keep cleaning the rest
            print(f"   cleanup step failed: {e!r}", flush=True)


def out(line):
    with _print_lock:
        print(line, flush=True)


class Abort(Exception):
    """A scenario cannot go on (a bounded wait ran out, a tool failed)."""


class Report:
    """Checks of one group; its lines are printed together when a scenario
    ends, so that groups running in parallel do not interleave line by line."""

    def __init__(self, group):
        self.group = group
        self.lines = []
        self.failed = 0
        self.log = None  # file object for command transcripts, set by the group

    def _add(self, line):
        self.lines.append(line)

    def check(self, what, ok, expected=None, got=None):
        with _print_lock:
            if ok:
                _totals["passed"] += 1
            else:
                _totals["failed"] += 1
        if ok:
            self._add(f"ok   {what}")
        else:
            self.failed += 1
            self._add(f"FAIL {what}: expected {expected}, got {got}")
        return ok

    def eq(self, what, expected, got):
        return self.check(what, expected == got, repr(expected), repr(got))

    def match(self, what, pattern, text):
        """Full match of a regular expression against a text."""
        return self.check(what, re.fullmatch(pattern, text, re.S) is not None,
                          f"text matching {pattern!r}", repr(text))

    def within(self, what, low, value, high, unit=""):
        ok = value is not None and low <= value <= high
        return self.check(f"{what} ({value}{unit})" if ok else what, ok,
                          f"{low}..{high}{unit}", f"{value}{unit}")

    def note(self, text):
        self._add(f"     {text}")

    def flush(self, title=None):
        with _print_lock:
            if title:
                print(f"== [{self.group}] {title}", flush=True)
            for line in self.lines:
                print(line, flush=True)
        self.lines = []

    def logline(self, text):
        if self.log:
            self.log.write(text + "\n")
            self.log.flush()


def wait_for(what, pred, timeout, interval=0.2):
    """Polls pred() until it gives a true value, which is returned. Raises
    Abort naming what was waited for when `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Abort(f"waited {timeout} s for {what}, in vain")
        time.sleep(interval)


def free_port(kind=socket.SOCK_STREAM):
    """A loopback port that nothing listens on right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_listening(port):
    """True when some process listens on 127.0.0.1:port (from /proc/net/tcp,
    without connecting: ipmi_sim serves one VM connection at a time)."""
    want = "0100007F:%04X" % port
    try:
        with open("/proc/net/tcp") as f:
            return any(line.split()[1] == want and line.split()[3] == "0A"
                       for line in f.readlines()[1:])
    except OSError:
        return False


# ---------------------------------------------------------------- Wine prefix

SC_STATES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING"}


class Prefix:
    """A fresh Wine prefix under `workdir` (32-bit, or with wow64 a 64-bit one
    that runs the 32-bit build through WoW64), with one persistent wineserver
    and the prefix's services started on purpose by a first command whose
    stderr (services.err) receives the services' err:eventlog lines. PATH
    holds one folder of its own, path_folder (C:\\asrpath)."""

    def __init__(self, workdir, report, wow64=False):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.path = self.dir / "prefix"
        self.services_err = self.dir / "services.err"
        self.report = report
        # The program's system folder: where the executable is installed and
        # the library lies; SysWOW64 for a 32-bit program on 64-bit Windows.
        self.win_sysdir = r"C:\windows\syswow64" if wow64 else r"C:\windows\system32"
        self.sysdir = self.path / "drive_c" / "windows" / ("syswow64" if wow64 else "system32")
        self.path_folder = self.path / "drive_c" / "asrpath"
        self.env = dict(os.environ, WINEPREFIX=str(self.path),
                        WINEARCH="win64" if wow64 else WINEARCH,
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.exe = self.dir / "bin" / "vyriasrw.exe"
        self._services_err_file = None
        self.stopped_pids = set()

    def create(self):
        if self.path.exists():
            raise Abort(f"prefix {self.path} exists already")
        register_cleanup(self.destroy)
        self.exe.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(EXE, self.exe)
        t0 = time.monotonic()
        self._run(["wineboot", "--init"], timeout=180)
        self._run(["wineserver", "-w"], timeout=120)
        if not self.sysdir.is_dir():
            raise Abort(f"wineboot made no {self.sysdir}")
        self._add_path_folder()
        self._services_err_file = open(self.services_err, "wb")
        self._start_services()
        return time.monotonic() - t0

    def _start_services(self):
        # The server daemonises and would hold captured pipes open.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        # The first command after the server starts brings up services.exe,
        # which keeps this stderr and passes it to the services it starts.
        env = dict(self.env, WINEDEBUG=EVENTLOG_DEBUG)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=self._services_err_file,
                       timeout=120, check=False)

    def reboot(self):
        """Every process of the prefix ended at once, without a stop (as the end
        of a shutdown ends them), then its services started again: the
        auto-start service starts as after a reboot. The event log goes on in
        services.err."""
        self._run(["wineserver", "-k"], timeout=30)
        self._run(["wineserver", "-w"], timeout=60)
        self._start_services()

    def _add_path_folder(self):
        """C:\\asrpath last on the system's PATH, in the saved registry, so
        that the service manager started next and every program get it."""
        reg = self.path / "system.reg"
        text = reg.read_text(encoding="latin-1")
        text, n = re.subn(r'^("PATH"=str\(2\):".*)"$', lambda m: m.group(1) + r';C:\\asrpath"',
                          text, count=1, flags=re.M)
        if n != 1:
            raise Abort(f"no PATH value in {reg}")
        reg.write_text(text, encoding="latin-1")
        self.path_folder.mkdir(exist_ok=True)

    def _run(self, argv, timeout, input=None, env=None):
        try:
            return subprocess.run(argv, env=env or self.env, input=input,
                                  stdin=None if input is not None else subprocess.DEVNULL,
                                  capture_output=True, timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            raise Abort(f"{' '.join(map(str, argv))} did not end within {timeout} s")

    def install_dll(self, bmc_port):
        shutil.copy2(DLL, self.sysdir / "vyrqd4w.dll")
        self.write_ini(bmc_port)

    def write_ini(self, bmc_port):
        (self.sysdir / "vyrqd4w.ini").write_bytes(
            b"transport=vm\r\nbmc=127.0.0.1:%d\r\n" % bmc_port)

    def wine(self, args, input=None, timeout=90, debug=None):
        """Runs a Windows program; returns (exit status, stdout text, stderr text).
        stdout is decoded as Latin-1 so that every byte stays visible."""
        env = dict(self.env, WINEDEBUG=debug) if debug else None
        t0 = time.monotonic()
        r = self._run(["wine"] + [str(a) for a in args], timeout, input=input, env=env)
        so, se = r.stdout.decode("latin-1"), r.stderr.decode("latin-1")
        self.report.logline(f"$ wine {' '.join(map(str, args))}  -> {r.returncode} "
                            f"in {time.monotonic() - t0:.1f} s\n{so}{se}")
        return r.returncode, so, se

    def asr(self, *args, key=False, timeout=90):
        """Runs our executable from outside the prefix's system directory, as an
        administrator would; `key` feeds one key for the closing prompt."""
        return self.wine([self.exe] + list(args), input=b"x" if key else None,
                         timeout=timeout)

    def sc_query(self):
        """{'state': n, 'name': 'RUNNING', 'win32': n} or None when the service
        manager does not know the service."""
        rc, so, _ = self.wine(["sc", "query", SERVICE], timeout=30)
        state = re.search(r"STATE\s*:\s*(\d+)\s+(\w+)", so)
        code = re.search(r"WIN32_EXIT_CODE\s*:\s*(-?\d+)\s+\(0x([0-9a-fA-F]+)\)", so)
        if rc != 0 or not state or not code:
            return None
        return {"state": int(state.group(1)), "name": state.group(2),
                "win32": int(code.group(2), 16), "text": so}

    def wait_state(self, name, timeout):
        """Waits for the service to report state `name`; returns the query."""
        return wait_for(f"service state {name}",
                        lambda: (lambda q: q if q and q["name"] == name else None)(self.sc_query()),
                        timeout, interval=0.3)

    def image_path(self, value="ImagePath"):
        """A value of the service's key (its image path unless named), None when absent."""
        rc, so, _ = self.wine(["reg", "query",
                               rf"HKLM\System\CurrentControlSet\Services\{SERVICE}",
                               "/v", value], timeout=30)
        m = re.search(rf"{value}\s+REG_\w+\s+(.*?)\s*$", so, re.M)
        return m.group(1) if rc == 0 and m else None

    def event_source(self):
        """The event source's values as {name: (type, text)}, None when there
        is no key."""
        rc, so, _ = self.wine(["reg", "query", EVENT_SOURCE_KEY], timeout=30)
        if rc != 0:
            return None
        return {m.group(1): (m.group(2), m.group(3)) for m in
                re.finditer(r"^\s+(\w+)\s+(REG_\w+)\s+(.*?)\s*$", so, re.M)}

    def event_mark(self):
        try:
            return self.services_err.stat().st_size
        except OSError:
            return 0

    def events(self, since=0, kinds=("err",)):
        """The event-log strings the prefix's services wrote since a mark, of
        the given kinds (err, warn, trace: error, warning, information)."""
        with open(self.services_err, "rb") as f:
            f.seek(since)
            return parse_events(f.read().decode("latin-1"), kinds)

    def typed_events(self, since=0):
        """Every entry's strings since a mark, each prefixed with its kind:
        "err: ...", "warn: ...", "trace: ..."."""
        with open(self.services_err, "rb") as f:
            f.seek(since)
            return parse_events(f.read().decode("latin-1"), ("err", "warn", "trace"), typed=True)

    def service_pid(self):
        """The Linux pid of the process running VYRIASRW.EXE in this prefix."""
        for d in Path("/proc").iterdir():
            if not d.name.isdigit():
                continue
            try:
                cmd = (d / "cmdline").read_bytes()
                if b"VYRIASRW.EXE" not in cmd.upper():
                    continue
                env = (d / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if ("WINEPREFIX=" + str(self.path)).encode() in env:
                return int(d.name)
        return None

    def destroy(self):
        for pid in self.stopped_pids:
            try:
                os.kill(pid, signal.SIGCONT)
            except OSError:
                pass
        if self.path.exists():
            try:
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                pass
            shutil.rmtree(self.path, ignore_errors=True)
        if self._services_err_file:
            self._services_err_file.close()
            self._services_err_file = None


# Wine's ReportEventW writes each string of an error entry on channel err,
# of a warning on warn and of an information entry on trace.
EVENTLOG_DEBUG = "-all,err+eventlog,warn+eventlog,trace+eventlog"


def parse_events(text, kinds=("err",), typed=False):
    found = re.finditer(r'(err|warn|trace):eventlog:ReportEventW L"(.*)"\s*$', text, re.M)
    return [f"{m.group(1)}: {m.group(2)}" if typed else m.group(2)
            for m in found if m.group(1) in kinds]


def stop_child(proc, logf):
    """Ends a simulator started here (SIGTERM, then SIGKILL after 5 s) and
    closes its log."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    if proc and logf:
        logf.close()


# ------------------------------------------------------------------- bmcsim

class Bmcsim:
    """Our BMC simulator on free loopback ports, journalling to a file."""

    def __init__(self, workdir, name, *extra):
        self.journal = Path(workdir) / f"{name}.jsonl"
        self.log = Path(workdir) / f"{name}.log"
        self.extra = list(extra)
        self.proc = None
        self.port = self.control_port = None

    def start(self):
        self._logf = open(self.log, "wb")
        self.proc = subprocess.Popen(
            [str(BMCSIM), "--port", "0", "--control-port", "0",
             "--journal", str(self.journal)] + self.extra,
            stdin=subprocess.DEVNULL, stdout=self._logf, stderr=subprocess.STDOUT)
        register_cleanup(self.stop)
        listen = wait_for("bmcsim's listen entry",
                          lambda: next((e for e in self.entries() if e["kind"] == "listen"), None),
                          10, interval=0.05)
        self.port, self.control_port = listen["port"], listen["control_port"]
        return self

    def entries(self):
        try:
            lines = self.journal.read_text().splitlines()
        except OSError:
            return []
        result = []
        for line in lines:
            try:
                result.append(json.loads(line))
            except ValueError:
                pass  # a line being written right now
        return result

    def control(self, line):
        with socket.create_connection(("127.0.0.1", self.control_port), timeout=3) as s:
            s.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        return answer.decode().strip()

    def status(self):
        answer = self.control("status")
        if not answer.startswith("ok "):
            raise Abort(f"bmcsim status answered {answer!r}")
        return json.loads(answer[3:])

    def stop(self):
        stop_child(self.proc, getattr(self, "_logf", None))
        self.proc = None


def requests(entries, cmd=None):
    return [e for e in entries if e["kind"] == "request" and (cmd is None or e["cmd"] == cmd)]


def describe(entries):
    """A short form of journal entries for failure messages."""
    parts = []
    for e in entries:
        k = e["kind"]
        if k == "request":
            parts.append(f"req {e['cmd']}:{e['data']}")
        elif k == "reply":
            parts.append(f"rep {e['cmd']} cc {e['cc']}")
        elif k == "disconnect":
            parts.append(f"disconnect {e['reason']}")
        elif k in ("connect", "listen"):
            parts.append(k)
    return ", ".join(parts) or "(nothing)"


# ------------------------------------------------------------------ ipmi_sim

LAN_CONF = """name "e2e"
set_working_mc 0x20
  startlan 1
    addr 127.0.0.1 {lan_port}
    priv_limit admin
    allowed_auths_callback none md2 md5 straight
    allowed_auths_user none md2 md5 straight
    allowed_auths_operator none md2 md5 straight
    allowed_auths_admin none md2 md5 straight
    guid a123456789abcdefa123456789abcdef
  endlan
  serial 15 127.0.0.1 {vm_port} codec VM
  user 2 true "admin" "e2e-secret" admin 10 none md2 md5 straight
"""

SIM_COMMANDS = """mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02 persist_sdr
mc_enable 0x20
"""


class IpmiSim:
    """OpenIPMI's simulator with a VM serial port for the DLL and a LAN port
    for ipmitool, both on free loopback ports."""

    def __init__(self, workdir):
        self.dir = Path(workdir) / "ipmi_sim"
        self.proc = None

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        (self.dir / "state").mkdir(exist_ok=True)
        self.vm_port = free_port()
        self.lan_port = free_port(socket.SOCK_DGRAM)
        (self.dir / "lan.conf").write_text(LAN_CONF.format(lan_port=self.lan_port,
                                                           vm_port=self.vm_port))
        (self.dir / "commands").write_text(SIM_COMMANDS)
        self._logf = open(self.dir / "ipmi_sim.log", "wb")
        self.proc = subprocess.Popen(
            ["ipmi_sim", "-n", "-c", str(self.dir / "lan.conf"), "-f",
             str(self.dir / "commands"), "-s", str(self.dir / "state")],
            stdin=subprocess.DEVNULL, stdout=self._logf, stderr=subprocess.STDOUT)
        register_cleanup(self.stop)
        wait_for(f"ipmi_sim listening on VM port {self.vm_port}",
                 lambda: tcp_listening(self.vm_port) or self.proc.poll() is not None, 15)
        if self.proc.poll() is not None:
            raise Abort(f"ipmi_sim exited with {self.proc.returncode}")
        wait_for("ipmitool reaching ipmi_sim's LAN port",
                 lambda: self.ipmitool("mc", "info")[0] == 0, 20, interval=0.5)
        return self

    def ipmitool(self, *args):
        try:
            r = subprocess.run(["ipmitool", "-I", "lan", "-H", "127.0.0.1", "-p",
                                str(self.lan_port), "-U", "admin", "-P", "e2e-secret",
                                "-N", "1", "-R", "2"] + list(args),
                               capture_output=True, timeout=20, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            return 124, ""
        return r.returncode, r.stdout.decode("latin-1") + r.stderr.decode("latin-1")

    def watchdog(self):
        """ipmitool's 'mc watchdog get' as a dict of its 'Key: value' lines."""
        rc, text = self.ipmitool("mc", "watchdog", "get")
        if rc != 0:
            raise Abort(f"ipmitool mc watchdog get failed ({rc}): {text.strip()}")
        return {k.strip(): v.strip() for k, v in
                (line.split(":", 1) for line in text.splitlines() if ":" in line)}

    def stop(self):
        stop_child(self.proc, getattr(self, "_logf", None))
        self.proc = None
