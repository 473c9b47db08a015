// Fake <windows.h> for the host build: the Win32 types, constants and calls
// that the system uses, and only those. Types keep their Windows sizes.
// The calls are implemented by the fake Windows layer (tests/fakewin), which
// records each of them in one journal and can be told to fail them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef BOOL *PBOOL;
typedef unsigned int UINT;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef WORD *LPWORD;
typedef BYTE *LPBYTE;
typedef void *HANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HLOCAL;
typedef HANDLE SC_HANDLE;
typedef HANDLE SERVICE_STATUS_HANDLE;
typedef void *PSID;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
// Windows' wide characters are 16 bits.
typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef union _LARGE_INTEGER {
  LONGLONG QuadPart;
} LARGE_INTEGER;
typedef INT_PTR(WINAPI *FARPROC)();

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// Errors
#define NO_ERROR 0
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_BAD_LENGTH 24
#define ERROR_FILE_EXISTS 80
#define ERROR_DISK_FULL 112
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_NONE_MAPPED 1332
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_OUTOFMEMORY 14
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_MORE_DATA 234
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_DEPENDENT_SERVICES_RUNNING 1051
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053
#define ERROR_SERVICE_ALREADY_RUNNING 1056
#define ERROR_SERVICE_DOES_NOT_EXIST 1060
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061
#define ERROR_SERVICE_NOT_ACTIVE 1062
#define ERROR_NOT_READY 21
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072
#define ERROR_SERVICE_EXISTS 1073
#define ERROR_IO_DEVICE 1117
#define ERROR_NO_SYSTEM_RESOURCES 1450
#define ERROR_COMMITMENT_LIMIT 1455
#define ERROR_TIMEOUT 1460

// Services
#define SERVICE_WIN32_OWN_PROCESS 0x10
#define SERVICE_INTERACTIVE_PROCESS 0x100
#define SERVICE_AUTO_START 2
#define SERVICE_DEMAND_START 3
#define SERVICE_ERROR_NORMAL 1
#define SERVICE_STOPPED 1
#define SERVICE_START_PENDING 2
#define SERVICE_STOP_PENDING 3
#define SERVICE_RUNNING 4
#define SERVICE_ACCEPT_STOP 0x01
#define SERVICE_ACCEPT_SHUTDOWN 0x04
#define SERVICE_ACCEPT_POWEREVENT 0x40
#define SERVICE_ACCEPT_PRESHUTDOWN 0x100
#define SERVICE_CONTROL_STOP 1
#define SERVICE_CONTROL_PAUSE 2
#define SERVICE_CONTROL_CONTINUE 3
#define SERVICE_CONTROL_INTERROGATE 4
#define SERVICE_CONTROL_SHUTDOWN 5
#define SERVICE_CONTROL_POWEREVENT 13
#define SERVICE_CONTROL_PRESHUTDOWN 15
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_ALL_ACCESS 0xF01FF

// Power broadcast event types
#define PBT_APMQUERYSUSPEND 0
#define PBT_APMQUERYSUSPENDFAILED 2
#define PBT_APMSUSPEND 4
#define PBT_APMRESUMECRITICAL 6
#define PBT_APMRESUMESUSPEND 7
#define PBT_APMRESUMEAUTOMATIC 18

// Event log
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

// Waits and priority
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFFu
#define NORMAL_PRIORITY_CLASS 0x20
#define REALTIME_PRIORITY_CLASS 0x100

// Messages
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x2000

// Files
#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3

// Access rights, generic and for files and folders
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define SYNCHRONIZE 0x00100000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ADD_SUBDIRECTORY 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS 0x001F01FFu

// Processes and job objects
#define STILL_ACTIVE 259
#define CREATE_SUSPENDED 0x00000004
#define CREATE_NO_WINDOW 0x08000000
#define STARTF_USESHOWWINDOW 0x00000001
#define SW_HIDE 0
#define JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE 0x00002000

// Security descriptors and access lists
#define OWNER_SECURITY_INFORMATION 0x00000001
#define DACL_SECURITY_INFORMATION 0x00000004
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE 0x9
#define OBJECT_INHERIT_ACE 0x01
#define CONTAINER_INHERIT_ACE 0x02
#define INHERIT_ONLY_ACE 0x08

// Character sets
#define CP_ACP 0
// Dynamic loading: where LoadLibraryExA looks (Windows 8, 7 with KB2533623)
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x100
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x800

typedef struct _SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef void(WINAPI *LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR *argv);
typedef DWORD(WINAPI *LPHANDLER_FUNCTION_EX)(DWORD control, DWORD event_type, LPVOID event_data,
                                             LPVOID context);
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);

typedef struct _SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA;

// A service's optional configuration (ChangeServiceConfig2A)
#define SERVICE_CONFIG_DESCRIPTION 1
#define SERVICE_CONFIG_FAILURE_ACTIONS 2
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4
#define SERVICE_CONFIG_PRESHUTDOWN_INFO 7
#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define ERROR_INVALID_LEVEL 124
#define ERROR_PRIVILEGE_NOT_HELD 1314
typedef enum _SC_ACTION_TYPE {
  SC_ACTION_NONE = 0,
  SC_ACTION_RESTART = 1,
  SC_ACTION_REBOOT = 2,
  SC_ACTION_RUN_COMMAND = 3,
} SC_ACTION_TYPE;
typedef struct _SC_ACTION {
  SC_ACTION_TYPE Type;
  DWORD Delay;
} SC_ACTION;
typedef struct _SERVICE_DESCRIPTIONA {
  LPSTR lpDescription;
} SERVICE_DESCRIPTIONA;
typedef struct _SERVICE_FAILURE_ACTIONSA {
  DWORD dwResetPeriod;
  LPSTR lpRebootMsg;
  LPSTR lpCommand;
  DWORD cActions;
  SC_ACTION *lpsaActions;
} SERVICE_FAILURE_ACTIONSA;
typedef struct _SERVICE_FAILURE_ACTIONS_FLAG {
  BOOL fFailureActionsOnNonCrashFailures;
} SERVICE_FAILURE_ACTIONS_FLAG;
typedef struct _SERVICE_PRESHUTDOWN_INFO {
  DWORD dwPreshutdownTimeout;
} SERVICE_PRESHUTDOWN_INFO;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef enum _JOBOBJECTINFOCLASS {
  JobObjectBasicLimitInformation = 2,
  JobObjectExtendedLimitInformation = 9,
} JOBOBJECTINFOCLASS;
typedef struct _JOBOBJECT_BASIC_LIMIT_INFORMATION {
  LARGE_INTEGER PerProcessUserTimeLimit;
  LARGE_INTEGER PerJobUserTimeLimit;
  DWORD LimitFlags;
  SIZE_T MinimumWorkingSetSize;
  SIZE_T MaximumWorkingSetSize;
  DWORD ActiveProcessLimit;
  ULONG_PTR Affinity;
  DWORD PriorityClass;
  DWORD SchedulingClass;
} JOBOBJECT_BASIC_LIMIT_INFORMATION;
typedef struct _IO_COUNTERS {
  ULONGLONG ReadOperationCount, WriteOperationCount, OtherOperationCount;
  ULONGLONG ReadTransferCount, WriteTransferCount, OtherTransferCount;
} IO_COUNTERS;
typedef struct _JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
  JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
  IO_COUNTERS IoInfo;
  SIZE_T ProcessMemoryLimit;
  SIZE_T JobMemoryLimit;
  SIZE_T PeakProcessMemoryUsed;
  SIZE_T PeakJobMemoryUsed;
} JOBOBJECT_EXTENDED_LIMIT_INFORMATION;

// A SID is opaque; an access list is a header followed by AceCount entries.
typedef void *PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;
typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;
typedef struct _ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
} ACE_HEADER;
typedef struct _ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  DWORD Mask;
  DWORD SidStart;
} ACCESS_ALLOWED_ACE;
typedef enum _SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
} SID_NAME_USE,
    *PSID_NAME_USE;

typedef struct _RTL_SRWLOCK {
  LPVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT \
  { 0 }

// Service control manager (advapi32)
BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR name,
                                                           LPHANDLER_FUNCTION_EX handler,
                                                           LPVOID context);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                                DWORD service_type, DWORD start_type, DWORD error_control,
                                LPCSTR image_path, LPCSTR load_order_group, LPDWORD tag,
                                LPCSTR dependencies, LPCSTR account, LPCSTR password);
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);
BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, LPVOID info);

// Event log (advapi32)
HANDLE WINAPI RegisterEventSourceA(LPCSTR machine, LPCSTR source);
BOOL WINAPI ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id, PSID user,
                         WORD string_count, DWORD data_size, LPCSTR *strings, LPVOID data);
BOOL WINAPI DeregisterEventSource(HANDLE source);

// Registry (advapi32)
typedef HANDLE HKEY;
typedef HKEY *PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_OPTION_NON_VOLATILE 0
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
LONG WINAPI RegCreateKeyExA(HKEY root, LPCSTR sub_key, DWORD reserved, LPSTR class_name,
                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES attributes,
                            PHKEY result, LPDWORD disposition);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD size);
LONG WINAPI RegCloseKey(HKEY key);
LONG WINAPI RegOpenKeyExA(HKEY root, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name);

// System version (kernel32)
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

// Events, threads, waits, locks (kernel32)
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                           LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stack_size,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id);
BOOL WINAPI CloseHandle(HANDLE handle);
void WINAPI Sleep(DWORD milliseconds);
// Virtual milliseconds since the world began, wrapping as Windows' does.
DWORD WINAPI GetTickCount(void);
// The wall clock: the world's start date plus virtual time.
void WINAPI GetSystemTimeAsFileTime(FILETIME *time);
BOOL WINAPI FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time);
void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock);
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock);

// Process priority (kernel32)
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priority_class);

// Dynamic loading (kernel32)
HMODULE WINAPI LoadLibraryA(LPCSTR file_name);
HMODULE WINAPI LoadLibraryExA(LPCSTR file_name, HANDLE file, DWORD flags);
HMODULE WINAPI GetModuleHandleA(LPCSTR module_name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);

// Files (kernel32)
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size);
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64);
HANDLE WINAPI FindFirstFileA(LPCSTR file_name, LPWIN32_FIND_DATAA find_data);
BOOL WINAPI FindClose(HANDLE find);
BOOL WINAPI SetFileAttributesA(LPCSTR file_name, DWORD attributes);
BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR destination, BOOL fail_if_exists);
BOOL WINAPI DeleteFileA(LPCSTR file_name);
DWORD WINAPI GetFileAttributesA(LPCSTR file_name);
HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                          HANDLE template_file);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPVOID overlapped);
BOOL WINAPI FlushFileBuffers(HANDLE file);

// Processes and job objects (kernel32)
DWORD WINAPI GetCurrentProcessId(void);
BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD flags, LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info, LPPROCESS_INFORMATION information);
DWORD WINAPI ResumeThread(HANDLE thread);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exit_code);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
HANDLE WINAPI CreateJobObjectA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name);
BOOL WINAPI SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info,
                                    DWORD size);
BOOL WINAPI AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL WINAPI TerminateJobObject(HANDLE job, UINT exit_code);

// Access lists and accounts (advapi32)
BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID *ace);
BOOL WINAPI LookupAccountSidA(LPCSTR system_name, PSID sid, LPSTR name, LPDWORD name_size,
                              LPSTR domain, LPDWORD domain_size, PSID_NAME_USE use);

// Character sets (kernel32)
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                               int wide_size);
int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_size, LPSTR text,
                               int size, LPCSTR default_char, PBOOL used_default);

// Errors and debugger output (kernel32)
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                            LPSTR buffer, DWORD size, va_list *arguments);
HLOCAL WINAPI LocalFree(HLOCAL memory);
void WINAPI OutputDebugStringA(LPCSTR text);
