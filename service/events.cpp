#include "service/events.h"

#include <stdio.h>

#include "service/names.h"

std::atomic<DWORD> service_exit_code{0};

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
