// One run of each opt-in health check. Each call blocks until its run ends;
// the monitor runs each on a thread of its own and bounds it by its limit,
// so that a stalled disk or a hung command never holds up the feed loop.
#pragma once

#include <stddef.h>
#include <windows.h>

struct CheckRun {
  bool passed;
  // The run could not begin at all (a program that is not a full path or
  // cannot be started): a setting mistake, not a failure of the server.
  bool cannot_start;
  // What failed, for the event entries: "exit code 3", "ran past its 60 s
  // limit", "available commit 412 MB, below the 512 MB floor".
  char what[256];
};

// Creates a small file of the service's own in folder with write-through,
// writes and flushes it, and deletes it. Blocks as long as the storage does:
// the caller bounds it by HealthWriteLimit.
CheckRun health_write_folder(const char *folder);

// Runs command_line hidden, as the service's account, in a job object;
// exit code 0 passes. A run longer than limit_ms fails and ends the whole
// process tree.
CheckRun health_run_command(const char *command_line, DWORD limit_ms);

// The system's available commit (CommitLimit minus CommitTotal, as
// GetPerformanceInfo gives them) against floor_mb.
CheckRun health_commit(DWORD floor_mb);

// The program a command line names: a full path, quoted when it has spaces,
// never searched for. False when the command line does not name one so.
bool health_command_program(const char *command_line, char *program, size_t size);

// Whether every existing file named on command_line (the program, a script
// it is given) and every folder above each, up to the root, can be changed
// only by SYSTEM, Administrators, TrustedInstaller or a member of the local
// Administrators group: the owner, and every entry that grants write,
// append, add-file, delete, delete-child, WRITE_DAC or WRITE_OWNER. False
// with *what naming the file and the principal otherwise, e.g.
// "C:\tools\check.cmd: BUILTIN\Users may change it".
bool health_command_files_safe(const char *command_line, char *what, size_t size);
