// The service's status record and its reports to the service manager. Three
// threads report (the run routine, the worker, the control handler): a lock
// keeps the record and its check point consistent.
#pragma once

#include <windows.h>

#include <atomic>

typedef SERVICE_STATUS StatusRecord;

extern StatusRecord status_record;
extern std::atomic<SERVICE_STATUS_HANDLE> status_handle;
extern DWORD checkpoint_counter;
// Once STOPPED has been reported the service is gone for the service manager:
// later reports are dropped.
extern BOOL stopped_reported;

// An own-process service that accepts power events only, until its first
// report of a state other than START_PENDING adds stop.
void prepare_status_record(void);
BOOL report_status(DWORD state, DWORD exit_code, DWORD wait_hint);
// Reports the record's current state again, with exit code 0 and no wait hint.
BOOL report_current_status(void);
