#!/usr/bin/python3
"""Checks the built vyriasrw.exe: a 32-bit console program that imports only
system DLLs and carries the version record the installer's users see.

Usage: /usr/bin/python3 check_exe.py build/win32/vyriasrw.exe
"""
import sys

import pefile

# DLLs every Windows installation has; anything else (libstdc++, libgcc,
# libwinpthread ...) would have to be shipped beside the executable.
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll",
    "ntdll.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "gdi32.dll",
}

FIXED = {
    "FileVersionMS": 0x00010005, "FileVersionLS": 0x00000000,
    "ProductVersionMS": 0x00010005, "ProductVersionLS": 0x00000000,
    "FileFlagsMask": 0x3F, "FileFlags": 0, "FileOS": 0x40004,
    "FileType": 3, "FileSubtype": 7, "FileDateMS": 0, "FileDateLS": 0,
}

STRINGS = [
    ("Comments", "This application preforms system watchdog function through IPMI."),
    ("FileDescription", "VYR IPMI watchdog application"),
    ("FileVersion", "1.05"),
    ("InternalName", "vyriasrw"),
    ("OriginalFilename", "vyriasrw.exe"),
    ("ProductName", "VYR IPMI ASR"),
    ("ProductVersion", "1.05"),
]
# Ours to choose, but present.
OWN_STRINGS = ["CompanyName", "LegalCopyright"]

failures = 0


def check(ok, text):
    global failures
    print(("ok   " if ok else "FAIL ") + text)
    if not ok:
        failures += 1


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def string_tables(pe):
    """(key, [(name, value) in file order]) for every string table."""
    tables = []
    for file_info in getattr(pe, "FileInfo", []) or []:
        entries = file_info if isinstance(file_info, list) else [file_info]
        for entry in entries:
            if text(getattr(entry, "Key", b"")) != "StringFileInfo":
                continue
            for table in entry.StringTable:
                pairs = [(text(k), text(v)) for k, v in table.entries.items()]
                tables.append((text(table.LangID), pairs))
    return tables


def translations(pe):
    found = []
    for file_info in getattr(pe, "FileInfo", []) or []:
        entries = file_info if isinstance(file_info, list) else [file_info]
        for entry in entries:
            if text(getattr(entry, "Key", b"")) != "VarFileInfo":
                continue
            for var in entry.Var:
                for value in var.entry.values():
                    found.append(text(value))
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip())
        return 2
    path = sys.argv[1]
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print("FAIL cannot read %s: %s" % (path, error))
        return 1

    machine = pe.FILE_HEADER.Machine
    check(machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          "machine is i386 (0x14c), found 0x%x" % machine)
    check(pe.OPTIONAL_HEADER.Magic == 0x10B,
          "PE32 optional header (0x10b), found 0x%x" % pe.OPTIONAL_HEADER.Magic)
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    check(subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
          "console subsystem (3), found %d" % subsystem)

    dlls = [text(e.dll) for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    check(len(dlls) > 0, "imports found: %s" % ", ".join(dlls))
    for dll in dlls:
        check(dll.lower() in SYSTEM_DLLS, "imported DLL %s is a system DLL" % dll)

    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    check(bool(fixed), "version record present")
    if fixed:
        info = fixed[0]
        for field, expected in FIXED.items():
            actual = getattr(info, field)
            check(actual == expected,
                  "%s is 0x%x, found 0x%x" % (field, expected, actual))

    tables = string_tables(pe)
    keys = [key for key, _ in tables]
    check(keys == ["040904B0"] or keys == ["040904b0"],
          "one string table 040904B0, found %s" % keys)
    pairs = tables[0][1] if tables else []
    values = dict(pairs)
    for name, expected in STRINGS:
        check(values.get(name) == expected,
              "%s is %r, found %r" % (name, expected, values.get(name)))
    order = [name for name, _ in pairs if name in dict(STRINGS)]
    check(order == [name for name, _ in STRINGS],
          "the seven strings in their order, found %s" % order)
    for name in OWN_STRINGS:
        check(bool(values.get(name)), "%s is set, found %r" % (name, values.get(name)))

    found = translations(pe)
    check(any(t.lower() in ("0x0409 0x04b0", "0x409 0x4b0") for t in found),
          "translation 0x0409, 0x04B0, found %s" % found)

    print("%s: %s" % (path, "all checks passed" if failures == 0
                      else "%d check(s) failed" % failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
