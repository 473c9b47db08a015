#include "watchdog/left_timer.h"

#include "ipmi/ipmi.h"
#include "watchdog/commands.h"
#include "watchdog/driver_library.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/timer_record.h"

static BYTE reply[ipmi::kGetReplyLength];

static int get_timer(WatchdogSession session, RequestOutcome *outcome) {
  if (wd_get_timer(session, reply, sizeof reply, outcome) != 0) return -1;
  return outcome->length > ipmi::kGetUse ? 0 : -1;
}

static LeftTimer check_and_disarm(WatchdogSession session, const TimerRecord &record,
                                  DWORD *error) {
  // Tried as the stop's disable is: a BMC busy now would leave the timer
  // armed with no service left to try again.
  RequestOutcome outcome;
  if (command_retrying(session, get_timer, kStopDisable, &outcome) != 0) {
    *error = request_error_code(outcome);
    return kLeftTimerFailed;
  }
  bool running = (reply[ipmi::kGetUse] & ipmi::kRunning) != 0;
  if (running && !timer_record_matches(record, reply, outcome.length)) return kLeftTimerNotOurs;
  // A record of a stopped timer, or of one since set by another agent, is
  // stale: the removed service will never take it back.
  if (!running) {
    timer_record_clear();
    return kNoTimerLeft;
  }
  if (command_retrying(session, wd_disable, kStopDisable, &outcome) != 0) {
    *error = request_error_code(outcome);
    return kLeftTimerFailed;
  }
  return kLeftTimerDisarmed;
}

LeftTimer disarm_left_timer(DWORD *error) {
  *error = 0;
  TimerRecord record;
  if (!timer_record_read(&record)) return kNoTimerLeft;
  if (!load_driver_library()) {
    *error = GetLastError();
    return kLeftTimerFailed;
  }
  WatchdogSession session = 0;
  DWORD status = driver_open(&session);
  LeftTimer result = kLeftTimerFailed;
  if (status != 0) {
    *error = ERROR_NOT_READY;  // the library's status is no Win32 code
  } else {
    result = check_and_disarm(session, record, error);
    driver_close(session);
  }
  unload_driver_library();
  if (result == kLeftTimerNotOurs) timer_record_clear();
  return result;
}
