// The service's event log entries, and the exit code of its final STOPPED
// report, which its error entries decide.
#pragma once

#include <windows.h>

#include <atomic>

#include "service/event_ids.h"

// Win32 exit code of a service whose worker did not finish in order.
#define STOP_ERROR_EXIT_CODE 0xE0010002u

// Win32 exit code of the final STOPPED report.
extern std::atomic<DWORD> service_exit_code;

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
