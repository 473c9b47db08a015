"""The fake WMI provider (tests/wmifake) in an end-to-end prefix: what makes
our driver library's in-box transport reach bmcsim under Wine.

    from wmifake import install_wmifake, set_wmifake
    install_wmifake(prefix, sim.port)                   # healthy driver
    set_wmifake(prefix, sim.port, "fault=stall 8000")   # change it while running

Each setting is one line of wmifake.ini (see tests/wmifake/README.md); the fake
reads the file before every call, so a change acts on the next call.
"""

import os
import subprocess

from harness import ROOT, WIN_BUILD, Abort

WMIFAKE_DLL = WIN_BUILD / "tests" / "wmifake" / "wmifake.dll"
INSTALL_SH = ROOT / "tests" / "wmifake" / "install.sh"


def _ini_text(bmc_port, settings):
    lines = [f"bmc=127.0.0.1:{bmc_port}"] + list(settings)
    return "".join(line + "\r\n" for line in lines).encode()


def install_wmifake(prefix, bmc_port, *settings):
    """Copies the fake into prefix's system directory, writes its settings
    and registers it as the prefix's WMI locator. `prefix` is a
    harness.Prefix that has been created."""
    r = subprocess.run(["bash", str(INSTALL_SH), str(WMIFAKE_DLL), str(bmc_port)] + list(settings),
                       env=prefix.env, stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=120, check=False)
    if r.returncode != 0:
        raise Abort(f"installing wmifake failed: {r.stdout.decode()}{r.stderr.decode()}")


def set_wmifake(prefix, bmc_port, *settings):
    """Rewrites the fake's settings in one step (a reader never sees half a
    file); `count=N` lines count from this change."""
    path = prefix.sysdir / "wmifake.ini"
    tmp = path.with_suffix(".tmp")
    tmp.write_bytes(_ini_text(bmc_port, settings))
    os.replace(tmp, path)
