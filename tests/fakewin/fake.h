// Control side of the fake Windows layer: what tests use to set up a world,
// script faults, move virtual time and read the journal of every call.
//
// Time is virtual. Every thread the fake knows (the test's thread after
// reset(), threads from CreateThread, at() and the dispatcher) is a
// participant. Sleep and waits block the calling participant; virtual time
// moves on only when every participant is blocked, straight to the earliest
// deadline. A run is therefore deterministic, and the service's 30 s and
// 10.1 s delays take microseconds. If every participant is blocked with no
// deadline, the fake prints the journal's tail and aborts: a hang fails loudly.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bmcsim/watchdog.h"

namespace fake {

// A fresh world at virtual time start_ms: empty journal, no faults, default
// models. The calling thread becomes the process's main thread. Threads left
// over from an earlier world never run again; they end at this reset.
void reset(uint64_t start_ms = 0);

// Ends the process as Windows would once main returns: every other fake
// thread is parked at its next fake call and never resumes. Waits (in real
// time) until each has parked or exited, so the journal is final afterwards.
void end_process();

// Blocks the calling participant (virtual time runs on) until every other
// fake thread has exited or parked.
void wait_for_threads();

// Virtual time in milliseconds since reset().
uint64_t now();

// Runs fn on a new participant thread when virtual time reaches at_ms.
void at(uint64_t at_ms, std::function<void()> fn);

// Virtual time past which the world aborts as a runaway (48 hours after the
// world's start unless set).
void set_time_limit(uint64_t at_ms);

// Freezes the named participant ("thread1", ...), or with "" every participant
// but the caller: it stops at its next fake call, or stays blocked, and nothing
// wakes it until thaw(). A thaw pushes its Sleep and wait deadlines back by the
// frozen span, as a system's sleep stops its ticks. A participant frozen for
// good counts as neither running nor hung.
void freeze(const std::string &name);
void thaw(const std::string &name);

// Runs fn on the calling thread just before the nth use (1-based) of the named
// call is carried out; nth 0 means before every use.
void before(const std::string &call, int nth, std::function<void()> fn);

// The nth use (1-based) of the named platform call fails with the given last
// error; nth 0 makes every use fail. Names are the Win32 names
// ("SetServiceStatus", "CreateEventA", ...).
void fail(const std::string &call, int nth, DWORD error);

// ---- journal ---------------------------------------------------------------
// One line per call, in order. The line starts with the call's name; a call
// failed by fail() ends in " failed=<error>". Formats:
//   SetServiceStatus type=0x10 state=2 accept=0x40 win32=0x0 specific=0x0 checkpoint=1 hint=3000
//   ReportEventA type=1 category=0 id=0 strings=[vyrq4asr error: 5][text]
//   SendQD4Request cmd=0x24 data=04 01 00 10 00 0A -> status=0 cc=0x0
//   Sleep 100
//   SetPriorityClass 0x100
//   OutputDebugStringA <text as given, line end included>
//   LoadLibraryExA C:\windows\system32\vyrqd4w.dll flags=0x900 -> C:\windows\system32\vyrqd4w.dll
//   LoadLibraryA vyrqd4w.dll -> <the file found>       FreeLibrary vyrqd4w.dll
// Other calls: their name, then their main arguments.
std::vector<std::string> journal();
// Only the lines that start with prefix.
std::vector<std::string> journal(const std::string &prefix);
// Misuse seen by the fake: a closed or unknown handle used, a handle closed
// twice, a request on a closed session, a report after STOPPED, arguments
// read for a message with insertion markers. Tests expect it to stay empty.
std::vector<std::string> violations();
// Keep only the latest n journal lines and IPMI requests (0: keep all, the
// default), so that a run of months stays in bounded memory.
void set_history_limit(size_t n);

// ---- structured records ----------------------------------------------------
struct ThreadExit {
  std::string name;  // "thread1", ...
  DWORD exit_code;
};
std::vector<ThreadExit> thread_exits();
// Every SERVICE_STATUS that SetServiceStatus accepted, in order.
std::vector<SERVICE_STATUS> status_reports();
struct Event {
  uint64_t at_ms;  // virtual time of the ReportEventA call
  WORD type, category;
  DWORD id;
  bool user_null;
  DWORD data_size;
  std::vector<std::string> strings;
};
// Every entry written by ReportEventA; the second form from the nth on.
std::vector<Event> events();
std::vector<Event> events(size_t from);
struct IpmiRequest {
  DWORD session;
  BYTE netfn_lun, command, responder;
  bool data_null;
  std::vector<BYTE> data;
  bool buffer_zeroed;       // all 64 bytes were 0 on entry
  WORD response_length_in;  // *response_length on entry
  BYTE completion_in;       // *completion_code on entry
  DWORD reserved;           // the last argument
  DWORD status;             // what the call returned
  BYTE completion_out;      // what it wrote as completion code
  uint64_t at_ms;           // virtual time of the call
  bool carried_out;         // the BMC acted on it (a dropped reply's request too)
  DWORD waited_ms;          // virtual time the call took (slow, dropped, unreachable)
};
std::vector<IpmiRequest> ipmi_requests();
// Called after every request, on the calling thread, with no lock of the fake held.
void on_ipmi_request(std::function<void(const IpmiRequest &)> fn);
// Current priority class of the process (NORMAL_PRIORITY_CLASS at start).
DWORD priority_class();
// Handles created and not closed, by kind ("event", "thread", "scm", "service", "eventsource").
int open_handles(const std::string &kind);

// ---- the driver library and the BMC behind it -------------------------------
// A spell of BMC trouble on the virtual clock, over [from_ms, to_ms).
struct BmcFault {
  enum Kind {
    kBusy,         // every request is refused with C0h (node busy) at once
    kSlow,         // requests are carried out; each reply comes after delay_ms
    kDropped,      // requests are carried out, the replies lost: status 5 after 3 s
    kRestart,      // the BMC restarts: unreachable, and its watchdog is lost at from_ms
    kUnreachable,  // unreachable, but its watchdog keeps counting
  } kind;
  uint64_t from_ms, to_ms;
  DWORD delay_ms = 0;  // kSlow: reply delay; kRestart, kUnreachable: how long a call waits
  // Kept by the model: requests seen during the spell, and whether a restart took effect.
  int requests = 0;
  bool begun = false;
};
// One run-out of the countdown.
struct BmcExpiry {
  uint64_t at_ms;
  BYTE timer_use;  // ipmi::kUseSmsOs ...
  BYTE action;     // ipmi::kActionHardReset ...
};
// One pre-timeout interrupt, raised its interval before the run-out.
struct BmcPretimeout {
  uint64_t at_ms;
  BYTE timer_use;
  BYTE interrupt;  // ipmi::kPretimeoutNmi ...
};
struct Bmc {
  bool library_present = true;  // else LoadLibraryA("vyrqd4w.dll") fails with 126
  bool has_open = true, has_close = true, has_send = true, has_version = true;
  DWORD open_status = 0;   // non-zero: OpenQD4Driver fails with it, and sets it as last error
  DWORD close_status = 0;  // non-zero: CloseQD4Driver returns it
  // The watchdog timer, on the virtual clock in ms: bmcsim's model.
  bmcsim::Watchdog watchdog;
  // Trouble to come or under way; spells over are dropped as time passes.
  std::vector<BmcFault> faults;
  std::vector<BmcExpiry> expiries;         // every run-out, in order
  std::vector<BmcPretimeout> pretimeouts;  // every pre-timeout interrupt, in order
};
// The model brought up to the present (run-outs and restarts that fell due).
// A copy carries the whole BMC, timer, faults and record, into a later world.
Bmc &bmc();
// Adds a spell of trouble to the model, under the fake's lock.
void add_bmc_fault(const BmcFault &fault);
// A copy taken under the fake's lock, for a reader racing the service's threads.
Bmc bmc_copy();
// The nth request (1-based, 0 = every) carrying this IPMI command is not
// carried out: the call returns status and writes completion code cc.
void script_reply(BYTE command, int nth, DWORD status, BYTE cc);
// From from_ms until to_ms (virtual), every request fails: the call returns
// status and writes completion code cc. With forget, the BMC restarted in
// the meantime: from to_ms on it has lost its watchdog settings (a Reset
// answers 80h until the next Set) and its timer is stopped.
void script_outage(uint64_t from_ms, uint64_t to_ms, DWORD status, BYTE cc, bool forget);
// Replies to this IPMI command carry at most length data bytes, as some BMCs
// answer short (ipmi_sim's Get Watchdog Timer: 6 of 8). A reply that is not
// carried out (scripted, busy, lost) carries none.
void limit_reply_length(BYTE command, WORD length);
// The library loaded is counted: loads minus frees.
int library_refcount();

// ---- the service control manager, service side ------------------------------
// When false, StartServiceCtrlDispatcherA fails at once with 1063, as for a
// process started from a console.
void set_started_by_scm(bool started);
// Delivers a control to the registered handler on the dispatcher's (main)
// thread at virtual time at_ms. The handler's result is journalled as
// "control <code> type=<event_type> -> <result>". As Windows' manager, the
// fake passes on only what the service's last report lets through: nothing
// while STOP_PENDING, only an accepted stop while START_PENDING (before the
// first report too), and in RUNNING the accepted controls and interrogate.
// A control held back is journalled as "control <code> type=<t> refused=<error>"
// (1061, or 1052 for one not accepted) and never reaches the handler.
// SetServiceStatus refuses a record with an unknown state or a service type
// other than a Win32 service's with 13 (ERROR_INVALID_DATA).
void send_control(uint64_t at_ms, DWORD control, DWORD event_type);
// The handler's results, in order.
std::vector<DWORD> control_results();

// ---- the service control manager, command side ------------------------------
struct InstalledService {
  std::string display_name, image_path;
  DWORD access = 0, service_type = 0, start_type = 0, error_control = 0;
  bool dependencies_empty = false;  // an empty list ("\0\0") was passed
  bool account_null = true, password_null = true, group_null = true, tag_null = true;
  DWORD state = SERVICE_STOPPED;
  bool marked_for_delete = false;
  int stop_pending_queries = 2;  // after a stop: queries answering STOP_PENDING before STOPPED
  // The service's process (and the hold on its image file) ends this long
  // after the service is STOPPED.
  uint64_t process_exit_ms = 0;
  DWORD exit_code = 0;  // the Win32 exit code its STOPPED report carries
  // What ChangeServiceConfig2A stored, as Windows keeps it: the description
  // ("" for none), the failure actions with their reset period (s) and texts,
  // the non-crash-failures flag, the preshutdown timeout (ms, 0 unset).
  std::string description;
  DWORD failure_reset_period = 0;
  std::string reboot_message, failure_command;
  std::vector<SC_ACTION> failure_actions;
  bool failure_actions_on_non_crash_failures = false;
  DWORD preshutdown_timeout_ms = 0;
};
// Installed services by name; tests may add and inspect entries. A handle
// from CreateServiceA or OpenServiceA has the access asked for, and
// ChangeServiceConfig2A checks it as Windows does: SERVICE_CHANGE_CONFIG, and
// SERVICE_START for restart actions (else 5); a service marked for deletion
// refuses it (1072), an unknown level too (124); the reboot action needs a
// privilege the fake's callers never hold (1314). Controls are
// passed on or refused by state as for the service side (send_control). The
// manager, a 64-bit program, starts an image path as written: with no file
// there StartServiceA fails with 2.
std::map<std::string, InstalledService> &services();

// ---- files -------------------------------------------------------------------
// Who may do what to a file or folder: an owner and an access list, each
// principal a SID in its "S-1-5-18" form.
struct Ace {
  std::string sid;
  DWORD mask;
  BYTE flags = 0;  // INHERIT_ONLY_ACE ...
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
};
struct Security {
  std::string owner = "S-1-5-32-544";
  // SYSTEM and Administrators have full control, Users read and run.
  std::vector<Ace> dacl = {{"S-1-5-18", FILE_ALL_ACCESS},
                           {"S-1-5-32-544", FILE_ALL_ACCESS},
                           {"S-1-5-32-545", 0x001200A9}};
  bool null_dacl = false;  // no access list: everyone may do everything
};
// Windows' own C:\: as above, and Authenticated Users may add folders to it.
Security windows_root_security();
struct File {
  File(DWORD attributes_ = FILE_ATTRIBUTE_NORMAL, std::string content_ = "")
      : attributes(attributes_), content(std::move(content_)) {}
  DWORD attributes;
  std::string content;
  Security security;  // the default's unless a test says otherwise
};
std::map<std::string, File> &files();  // by full path, compared case-insensitively
// Folders by full path without a trailing backslash but for a root ("C:\").
// Every folder above a file or a listed folder exists too, with the default
// Security; C:\ is listed at start with windows_root_security(). The file
// calls on a file directly inside a listed folder follow its storage model.
struct Folder {
  Security security;
  // Each write-through write (else each flush) takes this long (virtual ms);
  // INFINITE: it never returns.
  DWORD write_stall_ms = 0;
  bool full = false;  // writes fail with ERROR_DISK_FULL
};
std::map<std::string, Folder> &folders();
void set_module_path(const std::string &path);  // what GetModuleFileNameA answers
void set_system_directory(const std::string &path);

// ---- the registry ----------------------------------------------------------------
struct RegistryValue {
  DWORD type;  // REG_SZ, REG_EXPAND_SZ, REG_DWORD
  std::vector<BYTE> data;
};
// Keys under HKEY_LOCAL_MACHINE by path as first created (looked up
// case-insensitively by the calls), each with its values by name.
std::map<std::string, std::map<std::string, RegistryValue>> &registry();
// A world starts with SYSTEM\CurrentControlSet\Control\CrashControl holding
// CrashDumpEnabled 7, as Windows Server has it.
void set_registry_dword(const std::string &key, const std::string &name, DWORD value);

// ---- programs, processes and job objects -------------------------------------------
// What a program does when run. CreateProcessA runs only a listed program,
// named by its full path (a listed program's file is in files()); another
// existing file fails with ERROR_BAD_EXE_FORMAT, a missing one with 2.
struct Program {
  DWORD exit_code = 0;
  DWORD run_ms = 0;    // virtual time from its start (resume) to its exit
  bool hangs = false;  // it never exits by itself
  int children = 0;    // processes it starts at once, each running until ended
};
// Adds the program's file (default Security) and its behaviour.
void add_program(const std::string &path, const Program &program);
// Processes that have not ended (children and suspended ones included).
int live_processes();
// Every command line CreateProcessA started, in order.
std::vector<std::string> started_command_lines();

// ---- accounts and memory -------------------------------------------------------------
struct Account {
  std::string domain, name;  // LookupAccountSidA's answer
  bool user = false;         // NetUserGetLocalGroups knows only users
  std::vector<std::string> local_groups;
};
// By SID. At start: SYSTEM, Administrators, Users, Authenticated Users,
// Everyone, TrustedInstaller, HOST\Administrator (in Administrators),
// HOST\bob (in Users) as S-1-5-21-0-0-0-1001, and Wine's prefix user
// VM\root (S-1-5-21-0-0-0-1000, in Administrators).
std::map<std::string, Account> &accounts();
// What GetPerformanceInfo answers, in pages of page_size bytes (at start:
// 4 KiB pages, a 16 GiB limit, 4 GiB committed).
void set_commit(size_t limit_pages, size_t total_pages, size_t page_size);

// ---- the system version ----------------------------------------------------------
// What GetVersionExA answers (10.0 unless set).
void set_windows_version(DWORD major, DWORD minor);

// ---- the Windows underneath, and where a library is loaded from ---------------
// The system folder's vyrqd4w.dll is there as Bmc::library_present says. Any
// other file named vyrqd4w.dll in files() is a planted one: a load that picks
// it is carried out, and is a violation. LoadLibraryA of a bare name searches
// as Windows does: the program's folder, the system directory, the Windows
// folder, the current folder, then the PATH folders. A full path is loaded
// from there alone. LoadLibraryExA refuses (87) the LOAD_LIBRARY_SEARCH flags
// when the system lacks them, and LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR without a
// full path.
void set_current_directory(const std::string &path);             // C:\windows\system32 at start
void set_path_folders(const std::vector<std::string> &folders);  // none at start
// Whether kernel32 exports SetDefaultDllDirectories, and the loader knows the
// LOAD_LIBRARY_SEARCH flags (Windows 8, 7 with KB2533623); true at start.
void set_search_flags(bool known);
// 64-bit Windows with this 32-bit program under WOW64 (false at start: 32-bit
// Windows, where GetSystemWow64DirectoryA fails with 120). Under WOW64 the
// program's file calls and loads that name the system directory reach
// C:\windows\SysWOW64 instead, while the service manager reaches an image
// path as written.
void set_wow64(bool on);

// ---- messages, console ---------------------------------------------------------
// The system message text for a code as FormatMessageA gives it (with its CR LF).
// Codes without text make FormatMessageA fail with 317.
void set_message(DWORD code, const std::string &text);
void remove_message(DWORD code);
// Keys that _getch returns, in order.
void press_keys(const std::string &keys);

}  // namespace fake
