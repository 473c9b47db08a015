// The commit check: what the system can still commit before it must refuse
// allocations, against the floor set.
#include <windows.h>
// After windows.h: the performance figures (kernel32's K32 entry on Windows 7).
#include <psapi.h>

#include "health/checks.h"
#include "health/run_result.h"

CheckRun health_commit(DWORD floor_mb) {
  PERFORMANCE_INFORMATION info = {};
  info.cb = sizeof info;
  if (!GetPerformanceInfo(&info, sizeof info)) {
    return run_failed("the commit figures could not be read (error %lu)",
                      static_cast<unsigned long>(GetLastError()));
  }
  // In pages; 64 bits, as a 32-bit process sees a larger system's commit.
  unsigned long long pages =
      info.CommitLimit > info.CommitTotal ? info.CommitLimit - info.CommitTotal : 0;
  unsigned long long available_mb = pages * info.PageSize / (1024 * 1024);
  if (available_mb < floor_mb) {
    return run_failed("available commit %llu MB, below the %lu MB floor", available_mb,
                      static_cast<unsigned long>(floor_mb));
  }
  return run_passed();
}
