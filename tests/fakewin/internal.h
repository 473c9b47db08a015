// Shared plumbing of the fake Windows layer's own files. Not for tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "fake.h"

namespace fake::detail {

// Guards every model of the fake (services, files, messages, the BMC ...).
// Never held across a blocking call (Sleep, waits, locks).
std::recursive_mutex &world();

// Under ThreadSanitizer the fake's own locks would order every pair of
// threads that call into it, hiding the system's races. Its internals are
// therefore invisible to TSan inside a QuietSection, and the calls that do
// synchronise on Windows (events, waits, SRW locks, a thread's end, the
// service manager's dispatch) say so with happens_before/happens_after.
// Elsewhere these do nothing.
struct QuietSection {
  QuietSection();
  ~QuietSection();
  QuietSection(const QuietSection &) = delete;
  QuietSection &operator=(const QuietSection &) = delete;
};
void happens_before(const void *address);
void happens_after(const void *address);
// Leaves and re-enters the innermost QuietSection's ignoring of synchronisation.
void quiet_pause();
void quiet_resume();

// world() held inside a QuietSection.
struct WorldLock {
  QuietSection quiet;
  std::lock_guard<std::recursive_mutex> guard{world()};
};

// Call first in every fake platform call, with its Win32 name. Runs the
// before() hooks, parks the thread for ever when the process has ended,
// counts the use, and returns the error that fail() scripted for this use
// (0 when the call is to go ahead). It does not set the last error.
DWORD scripted_failure(const char *call);

// Appends one line to the journal (printf-style).
void log(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Records a misuse; see fake::violations().
void violation(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Handles: unique values by kind ("event", "thread", "scm", "service",
// "eventsource", "find", "module"), never reused within a world.
HANDLE new_handle(const char *kind);
// True when h is open and of this kind.
bool handle_is(HANDLE h, const char *kind);
// Closes h; a violation (and false) when it is not open or not of this kind.
bool close_handle(HANDLE h, const char *kind);
// The kind of an open handle, or "" when it is not open.
std::string handle_kind(HANDLE h);
// A short name for the journal: "event1", "thread2", "scm1" ...
std::string handle_name(HANDLE h);

// What earlier threads did, up to their end or parking, happens before this.
void acquire_thread_exits();

// Blocks the calling participant for ms of virtual time (a slow library call).
void block_for(uint64_t ms, const char *what);
// Bounds the driver's record of IPMI requests; see fake::set_history_limit.
void set_request_history_limit(size_t n);

// Per-file resets, called by fake::reset() with world() held.
void reset_scheduler(uint64_t start_ms);
void reset_service_side();
void reset_eventlog();
void reset_process();
void reset_driver();
void reset_scm_commands();
void reset_files();
void reset_messages();
void reset_console();
void reset_registry();
void reset_jobs();
void reset_security();
void reset_memory();

// Case-insensitive ASCII comparison, as Windows compares paths and names.
bool iequals(const std::string &a, const std::string &b);

// Files as this (32-bit) process reaches them, from files.cpp; world() held.
// The path a file call for path reaches: under WOW64, SysWOW64 for the system directory.
std::string on_disk(const std::string &path);
bool file_exists(const std::string &path);
// Where the system folder's vyrqd4w.dll lies, as on_disk gives it.
std::string system_folder_on_disk();
// The folders LoadLibraryA searches for a bare name, in order, as on_disk gives them.
std::vector<std::string> dll_search_folders();
bool search_flags_known();
// Whether some file is the program of this image path, reached as written.
bool image_file_exists(const std::string &image_path);
// A folder that exists: listed, a root with something under it, or above a file.
bool folder_exists(const std::string &path);
// The owner and access list of an existing file or folder, or null.
const Security *security_of(const std::string &path);
// A file handle's end (CloseHandle).
void close_file(HANDLE file);

// Processes and jobs, from jobs.cpp. When a process handle's process ends
// (never: UINT64_MAX); a waiter reads it without the world's lock.
const std::atomic<uint64_t> *process_end(HANDLE process);
// A process, its main thread or a job handle closed (CloseHandle).
void close_job_object(HANDLE handle, const std::string &kind);
// Wakes every blocked participant to look at its condition again.
void notify_change();

// Memory the caller frees with LocalFree (messages.cpp keeps the record).
void *local_alloc(size_t size);

}  // namespace fake::detail
