// The command check: the command runs hidden, as the service's account, in
// a job object of its own, so that a run past its limit ends with everything
// it started. Exit code 0 passes.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "health/checks.h"
#include "health/run_result.h"

namespace {

// Longer command lines are a setting mistake; Windows' own limit is 32767.
const size_t kMaxCommandLine = 2048;

// A run that cannot start for want of memory is the server failing, not a mistake.
bool out_of_resources(DWORD error) {
  return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
         error == ERROR_COMMITMENT_LIMIT || error == ERROR_NO_SYSTEM_RESOURCES;
}

CheckRun could_not_run(const char *step, DWORD error) {
  if (out_of_resources(error)) {
    return run_failed("could not be run: %s failed (error %lu)", step,
                      static_cast<unsigned long>(error));
  }
  return run_cannot_start("could not be run: %s failed (error %lu)", step,
                          static_cast<unsigned long>(error));
}

CheckRun past_limit(DWORD limit_ms) {
  if (limit_ms % 1000 == 0) {
    return run_failed("ran past its %lu s limit", static_cast<unsigned long>(limit_ms / 1000));
  }
  return run_failed("ran past its %lu ms limit", static_cast<unsigned long>(limit_ms));
}

// Starts the command suspended inside job, and lets it run.
CheckRun start_in_job(HANDLE job, const char *program, char *line, PROCESS_INFORMATION *process) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  // Suspended until it is in the job, so that nothing it starts escapes it.
  if (!CreateProcessA(program, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, process)) {
    return could_not_run("starting it", GetLastError());
  }
  CheckRun run = run_passed();
  if (!AssignProcessToJobObject(job, process->hProcess)) {
    run = could_not_run("putting it in a job object", GetLastError());
    TerminateProcess(process->hProcess, ERROR_TIMEOUT);
  } else if (ResumeThread(process->hThread) == static_cast<DWORD>(-1)) {
    run = could_not_run("resuming it", GetLastError());
    TerminateJobObject(job, ERROR_TIMEOUT);
  }
  CloseHandle(process->hThread);
  if (!run.passed) CloseHandle(process->hProcess);
  return run;
}

}  // namespace

CheckRun health_run_command(const char *command_line, DWORD limit_ms) {
  char program[MAX_PATH];
  if (!health_command_program(command_line, program, sizeof program)) {
    return run_cannot_start("its program is not named by a full path with its extension");
  }
  // CreateProcessA may write into the command line it is given.
  char line[kMaxCommandLine];
  if (strlen(command_line) >= sizeof line) {
    return run_cannot_start("the command line is longer than %u characters",
                            static_cast<unsigned>(sizeof line - 1));
  }
  strcpy(line, command_line);

  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (!job) return could_not_run("creating its job object", GetLastError());
  // Closing the job ends whatever the command left running.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CheckRun run = could_not_run("setting its job object's limits", GetLastError());
    CloseHandle(job);
    return run;
  }
  PROCESS_INFORMATION process = {};
  CheckRun run = start_in_job(job, program, line, &process);
  if (!run.passed) {
    CloseHandle(job);
    return run;
  }
  DWORD waited = WaitForSingleObject(process.hProcess, limit_ms);
  DWORD exit_code = 0;
  if (waited == WAIT_TIMEOUT) {
    TerminateJobObject(job, ERROR_TIMEOUT);
    run = past_limit(limit_ms);
  } else if (waited != WAIT_OBJECT_0) {
    DWORD error = GetLastError();
    TerminateJobObject(job, ERROR_TIMEOUT);
    run = run_failed("waiting for it failed (error %lu)", static_cast<unsigned long>(error));
  } else if (!GetExitCodeProcess(process.hProcess, &exit_code)) {
    run = run_failed("its exit code could not be read (error %lu)",
                     static_cast<unsigned long>(GetLastError()));
  } else if (exit_code != 0) {
    run = run_failed("exit code %lu", static_cast<unsigned long>(exit_code));
  }
  CloseHandle(process.hProcess);
  CloseHandle(job);
  return run;
}
