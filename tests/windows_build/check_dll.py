#!/usr/bin/python3
"""Checks the built vyrqd4w.dll: a 32-bit DLL that imports only system DLLs and
exports the four entries undecorated, as the service looks them up by name.

Usage: /usr/bin/python3 check_dll.py build/win32/driverlib/vyrqd4w.dll
"""
import sys

import pefile

sys.dont_write_bytecode = True  # keep the source tree clean
from check_exe import SYSTEM_DLLS, check_windows_7, text  # noqa: E402

ENTRIES = {"OpenQD4Driver", "CloseQD4Driver", "SendQD4Request", "GetQD4Version"}


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip())
        return 2
    path = sys.argv[1]
    failures = 0

    def check(ok, line):
        nonlocal failures
        print(("ok   " if ok else "FAIL ") + line)
        failures += 0 if ok else 1

    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print("FAIL cannot read %s: %s" % (path, error))
        return 1
    machine = pe.FILE_HEADER.Machine
    check(machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          "machine is i386 (0x14c), found 0x%x" % machine)
    check(pe.is_dll(), "a DLL, found characteristics 0x%x" % pe.FILE_HEADER.Characteristics)
    dlls = [text(e.dll) for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    for dll in dlls:
        check(dll.lower() in SYSTEM_DLLS, "imported DLL %s is a system DLL" % dll)
    check_windows_7(pe, path, check)
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    exported = {text(s.name) for s in exports.symbols if s.name} if exports else set()
    check(ENTRIES <= exported, "exports %s undecorated, found %s"
          % (sorted(ENTRIES), sorted(exported)))
    print("%s: %s" % (path, "all checks passed" if failures == 0
                      else "%d check(s) failed" % failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
