// One run of a check on a thread of its own, shared by that thread and the
// monitor: a run that hangs past its limit is left to end on its own, and
// the last of the two to let it go frees it.
#pragma once

#include <windows.h>

#include <atomic>

#include "health/checks.h"
#include "health/settings.h"

// The check functions a run calls: health/checks.h's, or a test's.
struct HealthCheckFunctions {
  CheckRun (*write_folder)(const char *folder);
  CheckRun (*run_command)(const char *command_line, DWORD limit_ms);
  CheckRun (*commit)(DWORD floor_mb);
  bool (*command_program)(const char *command_line, char *program, size_t size);
  bool (*command_files_safe)(const char *command_line, char *what, size_t size);
};
extern const HealthCheckFunctions kSystemChecks;
extern HealthCheckFunctions health_functions;

enum CheckKind { kFolderCheck, kCommandCheck, kCommitCheck, kRepairRun };

struct Run {
  std::atomic<int> refs{2};
  std::atomic<bool> done{false};  // result is set
  CheckKind kind;
  char target[HEALTH_COMMAND_MAX];  // the folder or the command line
  DWORD limit_ms;
  DWORD floor_mb;
  bool unsafe;  // not run: a file it names may be changed by a user
  CheckRun result;
};

// A command's files are checked before it runs. Null when no thread could
// be had: the run is tried again at the next interval.
Run *run_start(CheckKind kind, const char *target, DWORD limit_ms, DWORD floor_mb);
bool run_done(Run *run);
void run_release(Run *run);
