#include "cli/wait_for_stop.h"

#include "service/timing.h"

bool wait_for_stop(SC_HANDLE service, SERVICE_STATUS *status, DWORD *error,
                   void (*still_stopping)(void)) {
  Sleep(REMOVAL_STOP_POLL_MS);
  for (DWORD waited = REMOVAL_STOP_POLL_MS;; waited += REMOVAL_STOP_POLL_MS) {
    if (!QueryServiceStatus(service, status)) {
      *error = GetLastError();
      return false;
    }
    if (status->dwCurrentState != SERVICE_STOP_PENDING) return true;
    if (waited >= REMOVAL_STOP_WAIT_MS) return true;  // hung: the removal goes ahead
    if (still_stopping) still_stopping();
    Sleep(REMOVAL_STOP_POLL_MS);
  }
}
