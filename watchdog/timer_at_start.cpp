#include "watchdog/timer_at_start.h"

#include <stdio.h>

#include "health/monitor.h"
#include "ipmi/ipmi.h"
#include "service/events.h"
#include "service/stop.h"
#include "watchdog/commands.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/shutdown.h"
#include "watchdog/suspend_hold.h"
#include "watchdog/timer_record.h"

// What the start's Get showed, kept for the entries written once the enable
// has cleared the flags.
static BYTE found_reply[ipmi::kGetReplyLength];
static WORD found_length = 0;
static BOOL bios_timer_running = FALSE;
// The record of this service's last armed timer, as the start found it (the
// start's own enable rewrites it), and whether the running timer was that one.
static TimerRecord found_record;
static bool record_found = false;
static BOOL own_timer_running = FALSE;
// What the enables are to clear besides the SMS/OS flag, which is in every
// enable's mask already.
static BYTE extra_clear_flags = 0;

BYTE enable_clear_flags(void) { return extra_clear_flags; }

void enable_clear_flags_forget(void) { extra_clear_flags = 0; }

static DWORD expiry_event(BYTE use) {
  switch (use) {
    case ipmi::kUseBiosFrb2:
      return EVENT_EXPIRED_BIOS_FRB2;
    case ipmi::kUseBiosPost:
      return EVENT_EXPIRED_BIOS_POST;
    case ipmi::kUseOsLoad:
      return EVENT_EXPIRED_OS_LOAD;
    case ipmi::kUseSmsOs:
      return EVENT_EXPIRED_SMS_OS;
    default:
      return EVENT_EXPIRED_OEM;
  }
}

// The Get, and the flags the enables are to clear.
static int read_timer(WatchdogSession session, RequestOutcome *outcome) {
  int result = wd_get_timer(session, found_reply, sizeof found_reply, outcome);
  found_length = result == 0 ? outcome->length : 0;
  extra_clear_flags =
      found_length > ipmi::kGetExpiredFlags
          ? (BYTE)(found_reply[ipmi::kGetExpiredFlags] & ipmi::kExpirationFlagsMask &
                   ~ipmi::expiration_flag(ipmi::kUseSmsOs))
          : 0;
  return result;
}

// A timer is read only while no suspend holds resets: the system may sleep
// at any moment, and the timer is read again once it is awake. The hold's
// bound ends a hold whose resume notice was lost. Returns early on a stop.
static void wait_out_hold(void) {
  HoldWatch hold;
  hold_watch_start(&hold);
  while (hold_in_force() && stop_requested == 0) {
    Sleep(TICK_MS);
    // Outside the session's lock: with no session published, a resume's
    // step that races this one only ends the hold too.
    if (hold_watch_bound_reached(&hold)) hold_end_by_bound();
  }
}

int timer_at_start(WatchdogSession session) {
  for (;;) {
    wait_out_hold();
    if (stop_requested != 0) return 0;
    unsigned suspends = hold_suspends();
    RequestOutcome outcome;
    bios_timer_running = FALSE;
    own_timer_running = FALSE;
    record_found = timer_record_read(&found_record);
    RetryPolicy retry = record_found ? own_timer_start_request(timeout_seconds) : kStartRequest;
    // Under the session's lock once the session is published, so that no
    // power event's enable runs at the same time.
    int result = watchdog_session == session
                     ? session_retrying(read_timer, retry, &outcome)
                     : command_retrying(session, read_timer, retry, &outcome);
    if (stop_requested != 0) return 0;
    // A suspend during the Get: the reply may be stale by the resume.
    if (hold_suspends() != suspends) continue;
    if (result != 0 || found_length <= ipmi::kGetUse) return -1;
    BYTE use_byte = found_reply[ipmi::kGetUse];
    if (use_byte & ipmi::kRunning) {
      if (ipmi::is_bios_use(use_byte & ipmi::kUseMask)) {
        bios_timer_running = TRUE;
      } else if (record_found && timer_record_matches(found_record, found_reply, found_length)) {
        // This service armed it and ended without disarming it, or left it
        // for a shutdown: refusing it would have the BMC reset a healthy
        // server. Another agent's timer, even one set as this service sets
        // its own, finds no record: an orderly stop clears it.
        own_timer_running = TRUE;
      } else {
        return -1;
      }
    }
    if (session_publish_unless_suspended(session, suspends)) return 0;
  }
}

static void report_bios_timer(void) {
  BYTE use = found_reply[ipmi::kGetUse] & ipmi::kUseMask;
  char left[48] = "";
  if (found_length >= ipmi::kGetPresentCount + 2) {
    unsigned count = found_reply[ipmi::kGetPresentCount] |
                     (unsigned)found_reply[ipmi::kGetPresentCount + 1] << 8;
    snprintf(left, sizeof left, " with %u.%u s left", count / 10, count % 10);
  }
  char text[256];
  snprintf(text, sizeof text,
           "VYR IPMI ASR: the BIOS's boot watchdog (%s) was running%s; the service takes it over "
           "as its own timer.",
           ipmi::use_name(use), left);
  report_info_event(EVENT_BIOS_TIMER_TAKEN_OVER, text);
}

static void report_own_timer(void) {
  char text[256];
  if (found_record.reason == kLeftForShutdown) {
    char when[40];
    timer_record_time_text(found_record, when, sizeof when);
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the service's own timer was still running: it was left armed for a "
             "shutdown at %s. The service takes it back.",
             when);
  } else {
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the service's own timer was still running: the service had ended "
             "without disarming it (its process crashed or was ended). The service takes it "
             "back.");
  }
  report_info_event(EVENT_OWN_TIMER_TAKEN_OVER, text);
}

// The allowance the record's count gave the shutdown, in seconds.
static unsigned recorded_allowance_s(void) {
  return (found_record.set[4] | (unsigned)found_record.set[5] << 8) / (1000 / ipmi::kMsPerCount);
}

static void report_expiry(BYTE use) {
  char text[600];
  if (use == ipmi::kUseSmsOs && record_found && found_record.reason == kLeftForShutdown) {
    // The flags are cleared by every enable, so this run-out came after the
    // record's Set: a shutdown and restart that outlasted the allowance.
    char when[40];
    timer_record_time_text(found_record, when, sizeof when);
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags were last "
             "cleared: the timer was left for a shutdown at %s with %u s allowed, and the "
             "shutdown and the restart did not end within it (a slow POST or boot, or a hung "
             "shutdown). For a slow restart, raise ShutdownAllowance under HKLM\\" PARAMETERS_KEY
             ".",
             when, recorded_allowance_s());
    report_warning_event(EVENT_EXPIRED_AFTER_SHUTDOWN, use, text);
    return;
  }
  if (use == ipmi::kUseSmsOs && record_found && found_record.reason == kWithheldByHealth) {
    // The service itself let the timer run out: Windows did not hang.
    char when[40];
    timer_record_time_text(found_record, when, sizeof when);
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags were last "
             "cleared: the health check %s had failed for its grace, and the service withheld "
             "the timer's resets from %s. That check only reports until it has passed once.",
             found_record.check, when);
    report_warning_event(EVENT_EXPIRED_WITHHELD_BY_HEALTH, use, text);
    health_guard_after_reset(found_record.check);
    return;
  }
  if (use == ipmi::kUseSmsOs) {
    // The timer's action is the expired one's only while no one has set the
    // timer for another use since.
    char action[80];
    if (found_length > ipmi::kGetActions &&
        (found_reply[ipmi::kGetUse] & ipmi::kUseMask) == ipmi::kUseSmsOs)
      snprintf(action, sizeof action, "%s",
               ipmi::action_name(found_reply[ipmi::kGetActions] & ipmi::kActionMask));
    else
      snprintf(action, sizeof action, "action not known: the timer has been set for %s since",
               ipmi::use_name(found_reply[ipmi::kGetUse] & ipmi::kUseMask));
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags were last "
             "cleared, and the BMC took its timeout action (%s): the timer's resets had stopped, "
             "because Windows or the service hung.",
             action);
  } else if (ipmi::is_bios_use(use)) {
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the BIOS's boot watchdog (%s) ran out since its expiration flags were "
             "last cleared: a boot hung before Windows took the timer over.",
             ipmi::use_name(use));
  } else {
    snprintf(text, sizeof text,
             "VYR IPMI ASR: an OEM watchdog timer ran out since its expiration flags were last "
             "cleared.");
  }
  report_warning_event(expiry_event(use), use, text);
}

void report_timer_at_start(void) {
  if (bios_timer_running) report_bios_timer();
  if (own_timer_running) report_own_timer();
  if (found_length > ipmi::kGetExpiredFlags) {
    BYTE flags = found_reply[ipmi::kGetExpiredFlags];
    for (BYTE use = ipmi::kUseBiosFrb2; use <= ipmi::kUseOem; use++)
      if (flags & ipmi::expiration_flag(use)) report_expiry(use);
  }
  bios_timer_running = FALSE;
  own_timer_running = FALSE;
  record_found = false;
  found_length = 0;
}
