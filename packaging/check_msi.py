#!/usr/bin/python3
"""Table checks of a built package (msiinfo export): what wixl and the msibuild
step wrote, against what the service and the executable's version record need.

Usage: /usr/bin/python3 check_msi.py x86|x64 PACKAGE.msi WINDOWS_BUILD_DIR
"""
import re
import subprocess
import sys
from pathlib import Path

import pefile

UPGRADE_CODE = "{00F36D48-ABD0-4962-A606-9D98D160249C}"
# The health checks' registry values, in the order of ConfigureService's data;
# each property is the value's name in capitals.
HEALTH_VALUES = ["HealthFolder", "HealthCommand", "RepairCommand", "HealthWriteLimit",
                 "HealthCommandLimit", "RepairLimit", "HealthCommitFloorMB", "HealthInterval",
                 "HealthGrace", "HealthStartDelay", "HealthReportOnly"]
HEALTH_DATA = "".join(f"|{name}=[{name.upper()}]" for name in HEALTH_VALUES)
passed = failures = 0


def check(what, expected, got):
    global passed, failures
    if expected == got:
        passed += 1
        print(f"ok   {what}")
    else:
        failures += 1
        print(f"FAIL {what}: expected {expected!r}, got {got!r}")


def table(msi, name):
    """The rows of a table as dicts keyed by column name ([] when absent)."""
    r = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True)
    lines = [line.rstrip("\r") for line in r.stdout.split("\n") if line.rstrip("\r")]
    if r.returncode != 0 or len(lines) < 3:
        return []
    cols = lines[0].split("\t")
    return [dict(zip(cols, line.split("\t"))) for line in lines[3:]]


def row(rows, **where):
    found = [r for r in rows if all(r.get(k) == v for k, v in where.items())]
    return found[0] if len(found) == 1 else None


def pick(r, *cols):
    return tuple(r.get(c) if r else None for c in cols)


def event_source_key():
    """The event source's key as cli/event_source.h spells it for -install."""
    header = (Path(__file__).resolve().parent.parent / "cli" / "event_source.h").read_text()
    m = re.search(r'#define EVENT_SOURCE_KEY "([^"]*)" SERVICE_NAME', header)
    return m.group(1).replace("\\\\", "\\") + "vyrq4asr" if m else None


def service_description():
    """The description -install registers, as cli/service_config.h spells it."""
    header = (Path(__file__).resolve().parent.parent / "cli" / "service_config.h").read_text()
    m = re.search(r"#define SERVICE_DESCRIPTION_TEXT((?:.*\\\n)*.*)", header)
    return "".join(re.findall(r'"([^"]*)"', m.group(1))) if m else None


def version_record(exe):
    pe = pefile.PE(exe)
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings = {}
    for info in pe.FileInfo[0]:
        for t in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in t.entries.items()})
    ms, ls = fixed.FileVersionMS, fixed.FileVersionLS
    return strings, f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("x86", "x64"):
        print(__doc__.strip())
        return 2
    arch, msi, build = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    exe = build / "vyriasrw.exe"
    sysdir, win64 = ("SystemFolder", "0") if arch == "x86" else ("System64Folder", "256")
    strings, file_version = version_record(exe)
    prop = {r["Property"]: r["Value"] for r in table(msi, "Property")}
    print(f"== package {msi} ({arch})")

    check("product name and version from the version record",
          (strings.get("ProductName"), strings.get("ProductVersion"), UPGRADE_CODE, "1"),
          (prop.get("ProductName"), prop.get("ProductVersion"), prop.get("UpgradeCode"),
           prop.get("ALLUSERS")))
    secure = prop.get("SecureCustomProperties", "").split(";")
    check("TIMEOUT, PRETIMEOUT and SHUTDOWNALLOWANCE have no default and are secure properties",
          (None, None, None, True, True, True),
          (prop.get("TIMEOUT"), prop.get("PRETIMEOUT"), prop.get("SHUTDOWNALLOWANCE"),
           "TIMEOUT" in secure, "PRETIMEOUT" in secure, "SHUTDOWNALLOWANCE" in secure))
    check("the health properties have no default and are secure properties",
          [(None, True)] * len(HEALTH_VALUES),
          [(prop.get(name.upper()), name.upper() in secure) for name in HEALTH_VALUES])
    template = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True).stdout
    check("platform in the summary", True, f"Template: {'Intel' if arch == 'x86' else 'x64'};1033" in template)

    comps = table(msi, "Component")
    check("VYRIASRW.EXE: system folder, key of its component, 64-bit flag, version record",
          ("ServiceExe", str(exe.stat().st_size), file_version, sysdir, win64, "VyriasrwExe"),
          pick(row(table(msi, "File"), FileName="VYRIASRW.EXE"), "Component_", "FileSize", "Version")
          + pick(row(comps, Component="ServiceExe"), "Directory_", "Attributes", "KeyPath"))
    check("service as -install creates it: 0x110, auto, normal + vital, LocalSystem, [SERVICEARGS], "
          "its description",
          ("vyrq4asr", "VYR Automatic Server Restart Service for IPMI", "272", "2", "32769", "",
           "[SERVICEARGS]", "ServiceExe", service_description()),
          pick(row(table(msi, "ServiceInstall")), "Name", "DisplayName", "ServiceType", "StartType",
               "ErrorControl", "StartName", "Arguments", "Component_", "Description"))
    # Event 171: start (1), stop (2) and delete (8) on install; stop (32) and
    # delete (128) on uninstall.
    check("service control: start, stop, delete on install; stop, delete on uninstall; wait",
          ("vyrq4asr", "171", "1", "ServiceExe"),
          pick(row(table(msi, "ServiceControl")), "Name", "Event", "Wait", "Component_"))

    # HKLM (2), the key -install writes; removed with the component.
    key = event_source_key()
    check("event source in the System log: EventMessageFile (REG_EXPAND_SZ) names the installed "
          "file, TypesSupported 7",
          [("2", key, "EventMessageFile", "#%[#VyriasrwExe]", "ServiceExe"),
           ("2", key, "TypesSupported", "#7", "ServiceExe")],
          sorted(pick(r, "Root", "Key", "Name", "Value", "Component_")
                 for r in table(msi, "Registry")))

    seq = {r["Action"]: r for r in table(msi, "InstallExecuteSequence")}
    num = {a: int(r["Sequence"]) for a, r in seq.items()}
    args = {r["Action"]: r for r in table(msi, "CustomAction") if r.get("Source") == "SERVICEARGS"}
    check("SERVICEARGS: TIMEOUT alone without PRETIMEOUT, else the timeout (255 unset) and "
          "PRETIMEOUT; set before InstallServices",
          [("NOT PRETIMEOUT", "51", "[TIMEOUT]"), ("PRETIMEOUT AND NOT TIMEOUT", "51", "255 [PRETIMEOUT]"),
           ("PRETIMEOUT AND TIMEOUT", "51", "[TIMEOUT] [PRETIMEOUT]")],
          sorted((seq.get(a, {}).get("Condition"),) + pick(r, "Type", "Target") for a, r in args.items()))
    check("SERVICEARGS set before InstallServices", True,
          bool(args) and all(0 < num.get(a, 0) < num.get("InstallServices", 0) for a in args))
    check("upgrade rows: older and same versions removed (0x201), newer ones detected only (2)",
          sorted([(UPGRADE_CODE, "", prop.get("ProductVersion"), "513", "WIX_UPGRADE_DETECTED"),
                  (UPGRADE_CODE, prop.get("ProductVersion"), "", "2", "WIX_DOWNGRADE_DETECTED")]),
          sorted(pick(r, "UpgradeCode", "VersionMin", "VersionMax", "Attributes", "ActionProperty")
                 for r in table(msi, "Upgrade")))
    refuse = row(table(msi, "LaunchCondition"), Condition="NOT WIX_DOWNGRADE_DETECTED")
    check("an older package over a newer one is refused with a message",
          True, bool(refuse) and "newer version" in refuse["Description"])
    check("RemoveExistingProducts between InstallValidate and InstallInitialize", True,
          num.get("InstallValidate", 0) < num.get("RemoveExistingProducts", 0)
          < num.get("InstallInitialize", 0))
    check("StopServiceAndWait: deferred, no impersonation, from the Binary table, before StopServices",
          (("3073", "AsrMsiActions", "StopServiceAndWait"), True, True,
           "$ServiceExe=2 OR $ServiceExe=3"),
          (pick(row(table(msi, "CustomAction"), Action="StopServiceAndWait"), "Type", "Source", "Target"),
           "Binary.AsrMsiActions" in subprocess.run(["msiinfo", "streams", msi], capture_output=True,
                                                    text=True).stdout.split(),
           num.get("InstallInitialize", 0) < num.get("StopServiceAndWait", 0) < num.get("StopServices", 0),
           seq.get("StopServiceAndWait", {}).get("Condition")))

    actions = table(msi, "CustomAction")
    check("ConfigureService: deferred, no impersonation, from the Binary table, between "
          "InstallServices and StartServices; its data: SHUTDOWNALLOWANCE and TIMEOUT, then each health "
          "property, set just before",
          (("3073", "AsrMsiActions", "ConfigureService"), "$ServiceExe=3", True,
           ("51", "ConfigureService", "[SHUTDOWNALLOWANCE];[TIMEOUT]" + HEALTH_DATA), "$ServiceExe=3", True),
          (pick(row(actions, Action="ConfigureService"), "Type", "Source", "Target"),
           seq.get("ConfigureService", {}).get("Condition"),
           num.get("InstallServices", 0) < num.get("ConfigureService", 0) < num.get("StartServices", 0),
           pick(row(actions, Action="ConfigureServiceData"), "Type", "Source", "Target"),
           seq.get("ConfigureServiceData", {}).get("Condition"),
           num.get("InstallServices", 0) < num.get("ConfigureServiceData", 0)
           < num.get("ConfigureService", 0)))

    check("feature levels: Service 1 (never absent), DriverLibrary 1000 (off by default)",
          [("Service", "1", "16"), ("DriverLibrary", "1000", "0")],
          [pick(r, "Feature", "Level", "Attributes") for r in table(msi, "Feature")])
    check("DriverLibrary also carries the service's component; INSTALLLEVEL left at 1",
          ({("Service", "ServiceExe"), ("DriverLibrary", "ServiceExe"), ("DriverLibrary", "DriverLibrary")}, None),
          ({pick(r, "Feature_", "Component_") for r in table(msi, "FeatureComponents")},
           prop.get("INSTALLLEVEL")))
    lib = row(comps, Component="DriverLibrary")
    check("library guard: file search in the system folder, our component's locator",
          ([("EXISTINGQD4DLL", "ExistingLibrary"), ("OURQD4DLL", "OurLibrary")],
           ("vyrqd4w.dll",), (f"[{sysdir}]", "0"), (lib and lib["ComponentId"], "1")),
          (sorted(pick(r, "Property", "Signature_") for r in table(msi, "AppSearch")),
           pick(row(table(msi, "Signature"), Signature="ExistingLibrary"), "FileName"),
           pick(row(table(msi, "DrLocator"), Signature_="ExistingLibrary"), "Path", "Depth"),
           pick(row(table(msi, "CompLocator"), Signature_="OurLibrary"), "ComponentId", "Type")))
    check("library guard: an error action when the feature meets a foreign vyrqd4w.dll",
          ("19", "(&DriverLibrary=3) AND EXISTINGQD4DLL AND NOT OURQD4DLL", True),
          pick(row(table(msi, "CustomAction"), Action="RefuseExistingLibrary"), "Type")
          + (seq.get("RefuseExistingLibrary", {}).get("Condition"),
             num.get("AppSearch", 0) < num.get("RefuseExistingLibrary", 0) < num.get("InstallValidate", 0)))

    missing = row(table(msi, "CustomAction"), Action="RefuseMissingLibrary")
    check("no library at all: an error action naming the system folder, unless the feature is chosen",
          ("19", True, "($ServiceExe=3) AND NOT ($DriverLibrary=3) AND NOT EXISTINGQD4DLL", True),
          pick(missing, "Type") + (bool(missing) and f"[{sysdir}]" in missing["Target"],
                                    seq.get("RefuseMissingLibrary", {}).get("Condition"),
                                    num.get("AppSearch", 0) < num.get("RefuseMissingLibrary", 0)
                                    < num.get("InstallValidate", 0)))

    print(f"msi tables: {passed} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
