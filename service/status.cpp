#include "service/status.h"

#include "service/events.h"

StatusRecord status_record;
std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
DWORD checkpoint_counter = 1;
BOOL stopped_reported = FALSE;

static SRWLOCK status_lock = SRWLOCK_INIT;

// Steps of one report, with the lock held. *failed tells a refused
// SetServiceStatus from a report dropped after STOPPED.
static BOOL report_locked(DWORD state, DWORD exit_code, DWORD wait_hint, BOOL *failed) {
  *failed = FALSE;
  if (stopped_reported) return FALSE;
  // A preshutdown is taken with the stop: a starting service cannot act on either.
  if (state != SERVICE_START_PENDING)
    status_record.dwControlsAccepted |= SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
  status_record.dwCurrentState = state;
  status_record.dwWin32ExitCode = exit_code;
  status_record.dwWaitHint = wait_hint;
  if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
    status_record.dwCheckPoint = 0;
  else
    status_record.dwCheckPoint = checkpoint_counter++;
  BOOL ok = SetServiceStatus(status_handle, &status_record);
  if (!ok) *failed = TRUE;
  if (ok && state == SERVICE_STOPPED) stopped_reported = TRUE;
  return ok;
}

BOOL report_status(DWORD state, DWORD exit_code, DWORD wait_hint) {
  BOOL failed;
  AcquireSRWLockExclusive(&status_lock);
  BOOL ok = report_locked(state, exit_code, wait_hint, &failed);
  ReleaseSRWLockExclusive(&status_lock);
  if (failed) report_error_event("SetServiceStatus");
  return ok;
}

BOOL report_current_status(void) {
  BOOL failed;
  AcquireSRWLockExclusive(&status_lock);
  BOOL ok = report_locked(status_record.dwCurrentState, 0, 0, &failed);
  ReleaseSRWLockExclusive(&status_lock);
  if (failed) report_error_event("SetServiceStatus");
  return ok;
}

void prepare_status_record(void) {
  AcquireSRWLockExclusive(&status_lock);
  status_record.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_record.dwServiceSpecificExitCode = 0;
  status_record.dwControlsAccepted = SERVICE_ACCEPT_POWEREVENT;
  ReleaseSRWLockExclusive(&status_lock);
}
