#include "health/check_run.h"

#include <stdio.h>

const HealthCheckFunctions kSystemChecks = {health_write_folder, health_run_command, health_commit,
                                            health_command_program, health_command_files_safe};
HealthCheckFunctions health_functions = kSystemChecks;

void run_release(Run *run) {
  if (--run->refs == 0) delete run;
}

bool run_done(Run *run) { return run->done.load(std::memory_order_acquire); }

static DWORD WINAPI run_thread(LPVOID parameter) {
  Run *run = static_cast<Run *>(parameter);
  CheckRun result = {};
  run->unsafe = false;
  switch (run->kind) {
    case kFolderCheck:
      result = health_functions.write_folder(run->target);
      break;
    case kCommandCheck:
    case kRepairRun:
      // Checked before every run: the files may have changed since the last.
      if (!health_functions.command_files_safe(run->target, result.what, sizeof result.what))
        run->unsafe = true;
      else
        result = health_functions.run_command(run->target, run->limit_ms);
      break;
    case kCommitCheck:
      result = health_functions.commit(run->floor_mb);
      break;
  }
  run->result = result;
  run->done.store(true, std::memory_order_release);
  run_release(run);
  return 0;
}

Run *run_start(CheckKind kind, const char *target, DWORD limit_ms, DWORD floor_mb) {
  Run *run = new Run;
  run->kind = kind;
  snprintf(run->target, sizeof run->target, "%s", target);
  run->limit_ms = limit_ms;
  run->floor_mb = floor_mb;
  HANDLE thread = CreateThread(NULL, 0, run_thread, run, 0, NULL);
  if (!thread) {
    delete run;
    return nullptr;
  }
  CloseHandle(thread);
  return run;
}
