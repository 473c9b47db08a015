#!/usr/bin/python3
"""Checks the built vyriasrw.exe: a 32-bit console program that imports only
system DLLs and carries the version record the installer's users see; it and
each other binary named after it (qd4probe.exe, the package's custom action)
run on Windows 7: 6.1 in the PE header, no import newer than Windows 7.

Usage: /usr/bin/python3 check_exe.py build/win32/vyriasrw.exe [OTHER.exe|.dll ...]
"""
import sys

import pefile

# DLLs every Windows installation has; anything else (libstdc++, libgcc,
# libwinpthread ...) would have to be shipped beside the executable.
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll",
    "ntdll.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "gdi32.dll", "netapi32.dll",
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


def check_windows_7(pe, name, check):
    """6.1 as the header's OS and subsystem versions; every import on the list."""
    oh = pe.OPTIONAL_HEADER
    for what, got in (("OS", (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion)),
                      ("subsystem", (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion))):
        check(got == WINDOWS_7, "%s: %s version %d.%d, found %d.%d" % ((name, what) + WINDOWS_7 + got))
    beyond = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = text(entry.dll).lower()
        known = set(WINDOWS_7_IMPORTS.get(dll, "").split())
        for imp in entry.imports:
            function = text(imp.name) if imp.name else "#%d" % imp.ordinal
            if function not in known:
                beyond.append("%s!%s" % (dll, function))
    check(not beyond, "%s: every import is one of Windows 7's, found beyond the list: %s"
          % (name, ", ".join(beyond) or "none"))


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
    if len(sys.argv) < 2:
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

    check_windows_7(pe, path, check)
    for other in sys.argv[2:]:
        try:
            check_windows_7(pefile.PE(other), other, check)
        except (OSError, pefile.PEFormatError) as error:
            check(False, "cannot read %s: %s" % (other, error))

    print("%s: %s" % (path, "all checks passed" if failures == 0
                      else "%d check(s) failed" % failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
