// The system's commit as GetPerformanceInfo gives it.
#include <psapi.h>

#include "internal.h"

namespace fake {
namespace {
size_t commit_limit, commit_total, page_bytes;
}

void set_commit(size_t limit_pages, size_t total_pages, size_t page_size) {
  detail::WorldLock lock;
  commit_limit = limit_pages;
  commit_total = total_pages;
  page_bytes = page_size;
}

namespace detail {
void reset_memory() { set_commit(4u << 20, 1u << 20, 4096); }
}  // namespace detail
}  // namespace fake

using namespace fake::detail;

BOOL WINAPI GetPerformanceInfo(PPERFORMANCE_INFORMATION information, DWORD size) {
  if (DWORD e = scripted_failure("GetPerformanceInfo")) {
    log("GetPerformanceInfo failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  if (!information || size != sizeof(PERFORMANCE_INFORMATION)) {
    log("GetPerformanceInfo size=%u failed=%u", size, ERROR_BAD_LENGTH);
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  WorldLock lock;
  *information = PERFORMANCE_INFORMATION{};
  information->cb = size;
  information->CommitLimit = fake::commit_limit;
  information->CommitTotal = fake::commit_total;
  information->CommitPeak = fake::commit_total;
  information->PageSize = fake::page_bytes;
  log("GetPerformanceInfo -> limit=%zu total=%zu page=%zu", fake::commit_limit, fake::commit_total,
      fake::page_bytes);
  return TRUE;
}
