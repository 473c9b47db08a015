#include "watchdog/shutdown.h"

#include <stdio.h>

#include "service/events.h"
#include "service/hooks.h"
#include "service/stop.h"
#include "watchdog/commands.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/timer_at_start.h"
#include "watchdog/timer_record.h"

std::atomic<LONG> shutdown_requested{0};
std::atomic<DWORD> shutdown_requested_ms{0};

void shutdown_taken(void) {
  shutdown_requested_ms = GetTickCount();
  shutdown_requested = FLAG_RAISED;
}

static WORD allowance_s = SHUTDOWN_ALLOWANCE_DEFAULT_S;

static WORD default_allowance(void) {
  return timeout_seconds > SHUTDOWN_ALLOWANCE_DEFAULT_S ? timeout_seconds
                                                        : (WORD)SHUTDOWN_ALLOWANCE_DEFAULT_S;
}

void shutdown_allowance_start(void) {
  allowance_s = default_allowance();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  LONG status =
      RegQueryValueExA(key, SHUTDOWN_ALLOWANCE_VALUE, nullptr, &type, (LPBYTE)&value, &size);
  RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return;
  bool usable = status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value;
  if (usable && value >= timeout_seconds && value <= SHUTDOWN_ALLOWANCE_MAX_S) {
    allowance_s = (WORD)value;
    return;
  }
  char what[48];
  if (usable)
    snprintf(what, sizeof what, "%lu s", (unsigned long)value);
  else
    snprintf(what, sizeof what, "not a REG_DWORD number of seconds");
  char text[300];
  snprintf(text, sizeof text,
           "VYR IPMI ASR: " SHUTDOWN_ALLOWANCE_VALUE " under HKLM\\" PARAMETERS_KEY
           " is %s, outside %u..%u s for the %u s timeout; a shutdown leaves the timer %u s.",
           what, (unsigned)timeout_seconds, (unsigned)SHUTDOWN_ALLOWANCE_MAX_S,
           (unsigned)timeout_seconds, (unsigned)allowance_s);
  report_warning_event(EVENT_SHUTDOWN_ALLOWANCE_NOT_USED, ERROR_INVALID_PARAMETER, text);
}

WORD shutdown_allowance_seconds(void) { return allowance_s; }

static int set_for_shutdown(WatchdogSession session, RequestOutcome *outcome) {
  return wd_set_for_shutdown(session, allowance_s, enable_clear_flags(), outcome);
}

// One step tried again while the BMC fails it, as long as a try can still
// end within the bound, which counts from the control.
static int within_bound(int (*command)(WatchdogSession, RequestOutcome *),
                        RequestOutcome *outcome) {
  DWORD spent = GetTickCount() - shutdown_requested_ms;
  RetryPolicy retry = kShutdownRetry;
  if (spent >= retry.limit_ms)
    retry.attempts = 1;
  else
    retry.limit_ms -= spent;
  return session_retrying(command, retry, outcome);
}

void shutdown_leave_armed(void) {
  TimerRecord before;
  bool had_record = timer_record_read(&before);
  RequestOutcome outcome;
  int set = within_bound(set_for_shutdown, &outcome);
  int reset = set == 0 ? within_bound(wd_reset, &outcome) : -1;
  char text[300];
  if (set == 0 && reset == 0) {
    snprintf(text, sizeof text,
             "VYR IPMI ASR: Windows is shutting down; the timer is left armed with %u s for the "
             "shutdown and the restart (" SHUTDOWN_ALLOWANCE_VALUE ").",
             (unsigned)allowance_s);
    report_info_event(EVENT_LEFT_FOR_SHUTDOWN, text);
    return;
  }
  // The timer runs on as it was, so must its record's bytes, for the next
  // start to take it back; it was still left for a shutdown, whose run-out
  // the next start must not report as a hang. A Set whose reply never came
  // may have been taken: then the record names both.
  if (set != 0 && had_record) {
    bool answered = outcome.sent && outcome.status == 0;
    if (answered) {
      timer_record_write(before.set, kLeftForShutdown);
    } else {
      TimerRecord sent;
      if (timer_record_read(&sent)) timer_record_write(sent.set, kLeftForShutdown, before.set);
    }
  }
  SetLastError(request_error_code(outcome));
  snprintf(text, sizeof text,
           "VYR IPMI ASR: Windows is shutting down, and the BMC refused the timer's %s for the "
           "shutdown; the timer runs on with its %s and may reset the server before it has "
           "restarted.",
           set != 0 ? "setting" : "restart", set != 0 ? "timeout" : "last countdown");
  report_error_event(text, EVENT_SHUTDOWN_SET_FAILED);
}
