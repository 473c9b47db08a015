// The folder check: a small file of the service's own, written through to
// the disk, flushed and deleted. A storage path that is lost stalls here;
// one that is full or read-only fails with the step and its code.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "health/checks.h"
#include "health/run_result.h"
#include "service/names.h"

namespace {

const char kBlock[] = "vyrq4asr health check: this file is written and deleted at once.\r\n";

CheckRun step_failed(const char *step, const char *path, DWORD error) {
  return run_failed("%s %s failed (error %lu)", step, path, static_cast<unsigned long>(error));
}

}  // namespace

CheckRun health_write_folder(const char *folder) {
  char path[MAX_PATH];
  size_t length = strlen(folder);
  const char *separator = length && folder[length - 1] == '\\' ? "" : "\\";
  int n = snprintf(path, sizeof path, "%s%s%s-health-%lu.tmp", folder, separator, SERVICE_NAME,
                   static_cast<unsigned long>(GetCurrentProcessId()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    return run_cannot_start("the folder %s is too long a path", folder);
  }
  // Write-through: the write itself must reach the disk, not the cache.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return step_failed("creating", path, GetLastError());
  DWORD written = 0;
  CheckRun run = run_passed();
  if (!WriteFile(file, kBlock, sizeof kBlock - 1, &written, nullptr)) {
    run = step_failed("writing", path, GetLastError());
  } else if (written != sizeof kBlock - 1) {
    run = run_failed("writing %s wrote %lu of %lu bytes", path, static_cast<unsigned long>(written),
                     static_cast<unsigned long>(sizeof kBlock - 1));
  } else if (!FlushFileBuffers(file)) {
    run = step_failed("flushing", path, GetLastError());
  }
  CloseHandle(file);
  if (!DeleteFileA(path) && run.passed) run = step_failed("deleting", path, GetLastError());
  return run;
}
