// Process priority and the debugger output.
#include "internal.h"

namespace fake {
namespace detail {
namespace {
DWORD priority = NORMAL_PRIORITY_CLASS;
}
void reset_process() { priority = NORMAL_PRIORITY_CLASS; }
}  // namespace detail

DWORD priority_class() {
  detail::WorldLock lock;
  return detail::priority;
}

}  // namespace fake

using namespace fake::detail;

HANDLE WINAPI GetCurrentProcess(void) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priority_class) {
  if (DWORD e = scripted_failure("SetPriorityClass")) {
    log("SetPriorityClass 0x%x failed=%u", priority_class, e);
    SetLastError(e);
    return FALSE;
  }
  if (process != GetCurrentProcess()) {
    violation("SetPriorityClass on a handle other than the current process");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  WorldLock lock;
  priority = priority_class;
  log("SetPriorityClass 0x%x", priority_class);
  return TRUE;
}

void WINAPI OutputDebugStringA(LPCSTR text) {
  scripted_failure("OutputDebugStringA");
  log("OutputDebugStringA %s", text ? text : "(null)");
}
