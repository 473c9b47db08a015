// Process-wide service state and the three operations every part uses to talk
// to the platform about it: status reports, error events, the stop signal.
#pragma once

#include <windows.h>

#include <atomic>

#include "service/event_ids.h"

#define SERVICE_NAME "vyrq4asr"
#define SERVICE_DISPLAY_NAME "VYR Automatic Server Restart Service for IPMI"
// Win32 exit code of a service whose worker did not finish in order.
#define STOP_ERROR_EXIT_CODE 0xE0010002u
#define FLAG_RAISED (-1)
// Wait hint of every START_PENDING report.
#define START_WAIT_HINT_MS 3000

typedef SERVICE_STATUS StatusRecord;

extern StatusRecord status_record;
extern std::atomic<SERVICE_STATUS_HANDLE> status_handle;
extern DWORD checkpoint_counter;
// Once STOPPED has been reported the service is gone for the service manager:
// later reports are dropped.
extern BOOL stopped_reported;
// Win32 exit code of the final STOPPED report.
extern std::atomic<DWORD> service_exit_code;
extern std::atomic<HANDLE> stop_event;
// 0 at start, FLAG_RAISED once raised; never lowered.
extern std::atomic<LONG> stop_requested;
extern std::atomic<LONG> worker_finished;

// An own-process service that accepts power events only, until its first
// report of a state other than START_PENDING adds stop.
void prepare_status_record(void);
BOOL report_status(DWORD state, DWORD exit_code, DWORD wait_hint);
// Reports the record's current state again, with exit code 0 and no wait hint.
BOOL report_current_status(void);
// An error entry; it sets the exit-code variable from the last error, which
// its first string carries.
void report_error_event(const char *text, DWORD event_id = EVENT_ERROR);
// An error entry whose cause a later step may mend (a suspend's refused
// disarm, mended when the timer is armed again after it): exit_error_mended
// gives the exit-code variable back its value from before, unless another
// error came since. The entry stays.
void report_mendable_error_event(const char *text, DWORD event_id);
void exit_error_mended(void);
// Back to 0 with no error reported, as at process start.
void exit_code_clear(void);
// Warning and information entries leave the exit-code variable alone: the
// service goes on, and only an error decides how it ends.
void report_warning_event(DWORD event_id, DWORD code, const char *text);
void report_info_event(DWORD event_id, const char *text);
void signal_stop(void);
// Clears stop_event; once it returns, no signal_stop can still be using the
// old handle, and the owner may close it.
void withdraw_stop_event(void);
