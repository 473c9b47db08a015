// The four IPMI watchdog operations, each one Set, Reset or Get Watchdog Timer
// request. 0 for success, -1 for failure (wd_is_running: 1 running, 0 stopped).
#pragma once

#include "watchdog/qd4_driver.h"

// Watchdog timeout in seconds, 250..3200 by the time a command reads it.
extern WORD timeout_seconds;

int wd_disable(WatchdogSession session);
int wd_enable(WatchdogSession session);
int wd_reset(WatchdogSession session);
int wd_is_running(WatchdogSession session);

// What the last request came back with, so that a failure can be told apart
// and reported: the library's status (0: a reply came) and the IPMI
// completion code. Requests are serialised by the session lock; read it
// under that lock, right after the command.
struct RequestOutcome {
  BOOL sent;  // FALSE when the library has no SendQD4Request entry
  DWORD status;
  BYTE completion_code;
};
RequestOutcome last_request_outcome(void);
// The Win32 code that stands for a failed request in events and exit codes:
// ERROR_IO_DEVICE when the BMC refused it (a completion code), ERROR_TIMEOUT
// when no reply came (a library status), ERROR_PROC_NOT_FOUND when it could
// not be sent at all.
DWORD request_error_code(RequestOutcome outcome);
