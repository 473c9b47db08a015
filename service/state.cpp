#include "service/state.h"

#include <stdio.h>

#include "service/trace.h"

StatusRecord status_record;
std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
DWORD checkpoint_counter = 1;
BOOL stopped_reported = FALSE;
std::atomic<DWORD> service_exit_code{0};
std::atomic<HANDLE> stop_event{nullptr};
std::atomic<LONG> stop_requested{0};
std::atomic<LONG> worker_finished{0};

// Three threads report; the lock keeps the record and the counter consistent.
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

// One entry with two strings, the first naming the service, as every entry
// of this source has.
static void write_event(WORD type, DWORD event_id, const char *first, const char *text) {
  HANDLE source = RegisterEventSourceA(NULL, SERVICE_NAME);
  if (!source) return;
  LPCSTR strings[2] = {first, text};
  ReportEventA(source, type, 0, event_id, NULL, 2, 0, strings, NULL);
  DeregisterEventSource(source);
}

// Guards the exit-code variable's updates and what a mend needs: the errors
// counted, the one that may be mended, and the code it replaced.
static SRWLOCK exit_code_lock = SRWLOCK_INIT;
static unsigned errors_reported = 0;
static unsigned mendable_error = 0;  // its place among errors_reported; 0 for none
static DWORD code_before_mendable = 0;

static void error_event(const char *text, DWORD event_id, bool mendable) {
  DWORD code = GetLastError();
  AcquireSRWLockExclusive(&exit_code_lock);
  DWORD before = service_exit_code;
  service_exit_code = code;
  errors_reported++;
  if (mendable) {
    // A second one in a row keeps the code from before the first.
    bool follows_one = mendable_error != 0 && mendable_error == errors_reported - 1;
    if (!follows_one) code_before_mendable = before;
    mendable_error = errors_reported;
  }
  ReleaseSRWLockExclusive(&exit_code_lock);
  char first[256];
  snprintf(first, sizeof first, "%s error: %d", SERVICE_NAME, (int)code);
  write_event(EVENTLOG_ERROR_TYPE, event_id, first, text);
}

void report_error_event(const char *text, DWORD event_id) { error_event(text, event_id, false); }

void report_mendable_error_event(const char *text, DWORD event_id) {
  error_event(text, event_id, true);
}

void exit_error_mended(void) {
  AcquireSRWLockExclusive(&exit_code_lock);
  if (mendable_error != 0 && mendable_error == errors_reported)
    service_exit_code = code_before_mendable;
  mendable_error = 0;
  ReleaseSRWLockExclusive(&exit_code_lock);
}

void exit_code_clear(void) {
  AcquireSRWLockExclusive(&exit_code_lock);
  service_exit_code = 0;
  errors_reported = 0;
  mendable_error = 0;
  ReleaseSRWLockExclusive(&exit_code_lock);
}

void report_warning_event(DWORD event_id, DWORD code, const char *text) {
  char first[256];
  snprintf(first, sizeof first, "%s warning: %d", SERVICE_NAME, (int)code);
  write_event(EVENTLOG_WARNING_TYPE, event_id, first, text);
}

void report_info_event(DWORD event_id, const char *text) {
  write_event(EVENTLOG_INFORMATION_TYPE, event_id, SERVICE_NAME, text);
}

// Held from reading stop_event to the end of its SetEvent, so that the run
// routine cannot close the event in between.
static SRWLOCK stop_event_lock = SRWLOCK_INIT;

void signal_stop(void) {
  trace("ServiceStop entry\n");
  AcquireSRWLockExclusive(&stop_event_lock);
  HANDLE event = stop_event;
  if (event) SetEvent(event);
  ReleaseSRWLockExclusive(&stop_event_lock);
}

void withdraw_stop_event(void) {
  AcquireSRWLockExclusive(&stop_event_lock);
  stop_event = NULL;
  ReleaseSRWLockExclusive(&stop_event_lock);
}

void prepare_status_record(void) {
  AcquireSRWLockExclusive(&status_lock);
  status_record.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_record.dwServiceSpecificExitCode = 0;
  status_record.dwControlsAccepted = SERVICE_ACCEPT_POWEREVENT;
  ReleaseSRWLockExclusive(&status_lock);
}
