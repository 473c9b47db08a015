#!/usr/bin/python3
"""Checks built Windows files: each is a 32-bit PE that imports only system
DLLs and runs on Windows 7 (6.1 in the PE header, no import newer than Windows
7); a program is a console program, a library a DLL. Two files carry more:
vyriasrw.exe the version record the installer's users see, vyrqd4w.dll the
four entries undecorated, as the service looks them up by name.

Usage: /usr/bin/python3 check_pe.py FILE.exe|FILE.dll ...
"""
import os
import sys

import pefile

# DLLs every Windows installation has; anything else (libstdc++, libgcc,
# libwinpthread ...) would have to be shipped beside the file.
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll",
    "ntdll.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "gdi32.dll", "msi.dll",
    "netapi32.dll",
}

# The oldest Windows the binaries run on, Windows 7 / Server 2008 R2, as the
# PE header's OS and subsystem versions say it.
WINDOWS_7 = (6, 1)
# Every function our Windows binaries import, each present in Windows 7 (by
# Microsoft's "minimum supported" lines; the newest here are Vista's:
# AcquireSRWLockExclusive, ReleaseSRWLockExclusive, GetTickCount64; and
# Windows 7's K32GetPerformanceInfo, psapi's call in kernel32). A new
# import fails the check with its name: look it up before adding it.
WINDOWS_7_IMPORTS = {
    "advapi32.dll": """ChangeServiceConfig2A CloseServiceHandle ControlService
        ConvertSidToStringSidA ConvertStringSidToSidA CreateServiceA DeleteService
        DeregisterEventSource GetAce GetNamedSecurityInfoA LookupAccountSidA OpenSCManagerA OpenServiceA QueryServiceStatus
        QueryServiceStatusEx RegCloseKey RegCreateKeyExA RegDeleteValueA RegOpenKeyExA RegQueryValueExA
        RegSetValueExA RegisterEventSourceA RegisterServiceCtrlHandlerExA ReportEventA
        SetServiceStatus StartServiceA StartServiceCtrlDispatcherA""",
    "kernel32.dll": """AcquireSRWLockExclusive AddVectoredExceptionHandler AssignProcessToJobObject
        CloseHandle CopyFileA CreateEventA CreateEventW CreateFileA CreateJobObjectA CreateProcessA
        CreateSemaphoreA CreateThread DeleteCriticalSection DeleteFileA
        DisableThreadLibraryCalls DuplicateHandle EnterCriticalSection FindClose FindFirstFileA
        FileTimeToSystemTime FlushFileBuffers FormatMessageA FreeLibrary FreeLibraryAndExitThread
        GetCurrentProcess GetCurrentProcessId GetExitCodeProcess GetFileAttributesA
        GetCurrentThread GetCurrentThreadId GetFullPathNameA GetHandleInformation GetLastError
        GetModuleFileNameA GetModuleHandleA GetModuleHandleExW GetModuleHandleW GetProcAddress
        GetProcessAffinityMask GetStartupInfoA GetSystemDirectoryA GetSystemTimeAsFileTime
        GetSystemWow64DirectoryA GetThreadContext GetThreadPriority GetTickCount GetTickCount64
        GetVersionExA InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent IsWow64Process
        K32GetPerformanceInfo LeaveCriticalSection LoadLibraryA LoadLibraryExA LoadLibraryW LocalFree MultiByteToWideChar
        OpenProcess OutputDebugStringA QueryPerformanceCounter QueryPerformanceFrequency
        RaiseException ReadFile ReleaseSRWLockExclusive ReleaseSemaphore
        RemoveVectoredExceptionHandler ResetEvent ResumeThread SetEvent SetFileAttributesA
        SetInformationJobObject SetLastError SetPriorityClass SetProcessAffinityMask SetThreadContext SetThreadPriority
        SetUnhandledExceptionFilter Sleep SuspendThread TerminateJobObject TerminateProcess
        TlsAlloc TlsGetValue TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery
        WaitForMultipleObjects WaitForSingleObject WideCharToMultiByte WriteFile""",
    "netapi32.dll": "NetApiBufferFree NetUserGetLocalGroups",
    "msi.dll": "MsiCloseHandle MsiCreateRecord MsiGetPropertyA MsiProcessMessage MsiRecordSetStringA",
    "msvcrt.dll": """__getmainargs __initenv __mb_cur_max __p__acmdln __p__commode __p__fmode
        __set_app_type __setusermatherr _amsg_exit _beginthreadex _cexit _close _endthreadex _errno
        _getch _initterm _iob _lock _onexit _read _setjmp3 _strdup _ultoa _unlock abort atoi calloc
        exit fflush fprintf fputc fputs free fwrite localeconv longjmp malloc memchr memcmp memcpy
        memmove memset printf realloc setlocale setvbuf signal strchr strcmp strcspn strerror
        strlen strncmp strrchr strspn strtol strtoul vfprintf wcslen""",
    "ole32.dll": "CoCreateInstance CoInitializeEx CoSetProxyBlanket CoUninitialize",
    "oleaut32.dll": """SafeArrayAccessData SafeArrayCreateVector SafeArrayGetDim SafeArrayGetLBound
        SafeArrayGetUBound SafeArrayUnaccessData SysAllocString SysFreeString VariantClear
        VariantInit""",
    "ws2_32.dll": """WSACleanup WSAGetLastError WSAStartup __WSAFDIsSet closesocket connect
        getsockopt htons inet_addr ioctlsocket recv select send setsockopt socket""",
}

# vyriasrw.exe's version record.
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
OWN_STRINGS = ["CompanyName", "LegalCopyright"]  # ours to choose, but present

# vyrqd4w.dll's entries.
ENTRIES = {"OpenQD4Driver", "CloseQD4Driver", "SendQD4Request", "GetQD4Version"}

failures = 0


def check(ok, line):
    global failures
    print(("ok   " if ok else "FAIL ") + line)
    failures += 0 if ok else 1


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def check_common(pe, name):
    """What every file must be: i386 PE32, of its kind, system imports of Windows 7."""
    machine = pe.FILE_HEADER.Machine
    check(machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          "%s: machine is i386 (0x14c), found 0x%x" % (name, machine))
    oh = pe.OPTIONAL_HEADER
    check(oh.Magic == 0x10B, "%s: PE32 optional header (0x10b), found 0x%x" % (name, oh.Magic))
    if name.lower().endswith(".dll"):
        check(pe.is_dll(), "%s: a DLL, found characteristics 0x%x"
              % (name, pe.FILE_HEADER.Characteristics))
    else:
        check(oh.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
              "%s: console subsystem (3), found %d" % (name, oh.Subsystem))
    for what, got in (("OS", (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion)),
                      ("subsystem", (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion))):
        check(got == WINDOWS_7, "%s: %s version %d.%d, found %d.%d" % ((name, what) + WINDOWS_7 + got))
    imports = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    check(len(imports) > 0, "%s: imports found: %s" % (name, ", ".join(text(e.dll) for e in imports)))
    beyond = []
    for entry in imports:
        dll = text(entry.dll).lower()
        check(dll in SYSTEM_DLLS, "%s: imported DLL %s is a system DLL" % (name, dll))
        known = set(WINDOWS_7_IMPORTS.get(dll, "").split())
        for imp in entry.imports:
            function = text(imp.name) if imp.name else "#%d" % imp.ordinal
            if function not in known:
                beyond.append("%s!%s" % (dll, function))
    check(not beyond, "%s: every import is one of Windows 7's, found beyond the list: %s"
          % (name, ", ".join(beyond) or "none"))


def file_infos(pe, key):
    for file_info in getattr(pe, "FileInfo", []) or []:
        for entry in file_info if isinstance(file_info, list) else [file_info]:
            if text(getattr(entry, "Key", b"")) == key:
                yield entry


def check_version_record(pe, name):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    check(bool(fixed), "%s: version record present" % name)
    for field, expected in FIXED.items() if fixed else ():
        actual = getattr(fixed[0], field)
        check(actual == expected, "%s: %s is 0x%x, found 0x%x" % (name, field, expected, actual))
    tables = [(text(t.LangID), [(text(k), text(v)) for k, v in t.entries.items()])
              for e in file_infos(pe, "StringFileInfo") for t in e.StringTable]
    keys = [key.upper() for key, _ in tables]
    check(keys == ["040904B0"], "%s: one string table 040904B0, found %s" % (name, keys))
    pairs = tables[0][1] if tables else []
    values = dict(pairs)
    for field, expected in STRINGS:
        check(values.get(field) == expected,
              "%s: %s is %r, found %r" % (name, field, expected, values.get(field)))
    order = [field for field, _ in pairs if field in dict(STRINGS)]
    check(order == [field for field, _ in STRINGS],
          "%s: the seven strings in their order, found %s" % (name, order))
    for field in OWN_STRINGS:
        check(bool(values.get(field)), "%s: %s is set, found %r" % (name, field, values.get(field)))
    found = [text(v) for e in file_infos(pe, "VarFileInfo") for var in e.Var
             for v in var.entry.values()]
    check(any(t.lower() in ("0x0409 0x04b0", "0x409 0x4b0") for t in found),
          "%s: translation 0x0409, 0x04B0, found %s" % (name, found))


def check_exports(pe, name):
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    exported = {text(s.name) for s in exports.symbols if s.name} if exports else set()
    check(ENTRIES <= exported, "%s: exports %s undecorated, found %s"
          % (name, sorted(ENTRIES), sorted(exported)))


# What a file of this name carries beyond what every file must be.
EXTRA = {"vyriasrw.exe": check_version_record, "vyrqd4w.dll": check_exports}


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip())
        return 2
    for path in sys.argv[1:]:
        try:
            pe = pefile.PE(path)
        except (OSError, pefile.PEFormatError) as error:
            check(False, "cannot read %s: %s" % (path, error))
            continue
        check_common(pe, path)
        extra = EXTRA.get(os.path.basename(path).lower())
        if extra:
            extra(pe, path)
    print("%d file(s): %s" % (len(sys.argv) - 1, "all checks passed" if failures == 0
                              else "%d check(s) failed" % failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
