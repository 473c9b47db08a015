// The IPMI watchdog operations, each one Set, Reset or Get Watchdog Timer
// request. 0 for success, -1 for failure (wd_is_running: 1 running, 0 stopped).
#pragma once

#include "qd4/qd4_driver.h"

// Watchdog timeout in seconds, 250..3200 by the time a command reads it.
extern WORD timeout_seconds;
// What the enable carries beyond its plain form; with both 0 the enable's
// bytes are the plain ones.
struct EnableSettings {
  // The pre-timeout interrupt's lead in seconds (an NMI that many seconds
  // before the timeout action), 0 for none.
  BYTE pretimeout_seconds;
  // The expiration flags to clear besides the SMS/OS one.
  BYTE extra_clear_flags;
};

// What a request came back with, so that a failure can be told apart and
// reported: the library's status (0: a reply came), the IPMI completion code
// and how many reply data bytes came.
struct RequestOutcome {
  BOOL sent;  // FALSE when the library has no SendQD4Request entry
  DWORD status;
  BYTE completion_code;
  WORD length;
};
// The Win32 code that stands for a failed request in events and exit codes:
// ERROR_IO_DEVICE when the BMC refused it (a completion code), ERROR_TIMEOUT
// when no reply came (a library status), ERROR_PROC_NOT_FOUND when it could
// not be sent at all.
DWORD request_error_code(RequestOutcome outcome);

// The enable records the timer it arms before it is sent, and a disable the
// BMC took clears that record (watchdog/timer_record.h).
// Each stores in *outcome, unless it is null, what its request came back with.
int wd_disable(WatchdogSession session, RequestOutcome *outcome = nullptr);
int wd_enable(WatchdogSession session, const EnableSettings &settings,
              RequestOutcome *outcome = nullptr);
int wd_reset(WatchdogSession session, RequestOutcome *outcome = nullptr);
// The Set that leaves the timer armed across a shutdown: the enable's bytes
// with a count of seconds and no pre-timeout. Like the enable it records the
// timer before it is sent; the record says it was left for a shutdown.
int wd_set_for_shutdown(WatchdogSession session, WORD seconds, BYTE extra_clear_flags,
                        RequestOutcome *outcome);
int wd_is_running(WatchdogSession session, RequestOutcome *outcome = nullptr);
// Get Watchdog Timer with its reply: up to size data bytes into reply, the
// rest zero; outcome->length tells how many came. 0 or -1.
int wd_get_timer(WatchdogSession session, BYTE *reply, WORD size, RequestOutcome *outcome);
