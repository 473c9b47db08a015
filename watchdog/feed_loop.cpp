#include "watchdog/feed_loop.h"

#include <stdio.h>

#include "health/monitor.h"
#include "ipmi/ipmi.h"
#include "service/events.h"
#include "service/stop.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/pretimeout.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/suspend_hold.h"
#include "watchdog/timer_record.h"

// A run of failed resets, from the first failure to the next reset the BMC
// takes.
struct Episode {
  BOOL active;
  DWORD started_ms;
  BOOL rearmed;
};

static DWORD elapsed_ms(DWORD since) { return GetTickCount() - since; }

static BOOL lost_settings(RequestOutcome outcome) {
  return outcome.sent && outcome.status == 0 && outcome.completion_code == ipmi::kCcWatchdogNotSet;
}

static void describe_failure(RequestOutcome outcome, char *text, size_t size) {
  if (!outcome.sent)
    snprintf(text, size, "the library has no SendQD4Request entry");
  else if (outcome.status != 0)
    snprintf(text, size, "no reply, library status %lu", (unsigned long)outcome.status);
  else
    snprintf(text, size, "completion code %02Xh", outcome.completion_code);
}

static void episode_begins(Episode *episode, RequestOutcome outcome) {
  episode->active = TRUE;
  episode->started_ms = GetTickCount();
  episode->rearmed = FALSE;
  char what[64];
  char text[256];
  describe_failure(outcome, what, sizeof what);
  DWORD event_id = lost_settings(outcome) ? EVENT_SETTINGS_LOST : EVENT_RESET_RETRYING;
  if (lost_settings(outcome))
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the BMC has lost the watchdog settings (%s); arming the timer again.",
             what);
  else
    snprintf(text, sizeof text, "VYR IPMI ASR: timer reset failed (%s); retrying once a second.",
             what);
  report_warning_event(event_id, request_error_code(outcome), text);
}

static void episode_ends(Episode *episode) {
  DWORD ms = elapsed_ms(episode->started_ms);
  char text[256];
  snprintf(text, sizeof text, "VYR IPMI ASR: timer resets succeed again after %lu.%lu s; %s.",
           (unsigned long)(ms / 1000), (unsigned long)(ms % 1000 / 100),
           episode->rearmed ? "the timer was armed again" : "the timer kept its settings");
  report_info_event(EVENT_RESETS_TAKEN_AGAIN, text);
  episode->active = FALSE;
}

// One reset, with the 80h answer mended by arming the timer again. *outcome
// tells how the last request ended.
static int reset_once(Episode *episode, RequestOutcome *outcome) {
  trace("reseting WD\n");
  int result = session_reset(outcome);
  if (result != -1) return result;
  if (!episode->active) episode_begins(episode, *outcome);
  if (!lost_settings(*outcome)) return -1;
  // The BMC restarted and forgot the timer: no one has set it since, so it
  // is ours to set again, with the installed timeout, before the reset.
  BOOL armed = FALSE;
  result = session_rearm(FALSE, &armed, outcome);
  if (armed) episode->rearmed = TRUE;
  return result;
}

// While a health check has the resets withheld, no reset is sent and none
// counts as failed: the BMC is to reset the server. The record says so
// before the first withheld reset (and again after a sleep, whose enable
// rewrote it), so that the next start tells that reset from a hang. True
// while withholding.
static bool withholding(bool *recorded) {
  const char *check = health_withheld_by();
  if (check && !*recorded) timer_record_mark_withheld(check);
  if (!check && *recorded) timer_record_mark_withheld(nullptr);
  *recorded = check != nullptr;
  return check != nullptr;
}

// The Get's reply of the timer looked at while the resets are withheld.
static BYTE withheld_reply[ipmi::kGetReplyLength];
static int get_withheld_timer(WatchdogSession session, RequestOutcome *outcome) {
  return wd_get_timer(session, withheld_reply, sizeof withheld_reply, outcome);
}

// A BMC that restarted while the resets are withheld has lost the timer that
// was to reset the useless server: a Get that shows it stopped with no
// expiration flag (IPMI 2.0 section 27.7) has it armed and started again, so
// that it runs out a timeout later. A timer that ran out is left as it is.
// True when it was armed again: the enable rewrote the record.
static bool rearm_if_lost(void) {
  RequestOutcome outcome;
  if (session_command(get_withheld_timer, &outcome) != 0) return false;
  if (withheld_reply[ipmi::kGetUse] & ipmi::kRunning) return false;
  if (withheld_reply[ipmi::kGetExpiredFlags] & ipmi::kExpirationFlagsMask) return false;
  BOOL armed = FALSE;
  session_rearm(FALSE, &armed, &outcome);
  return armed;
}

int feed_loop(DWORD *failure_code) {
  Episode episode = {FALSE, 0, FALSE};
  bool withheld_recorded = false;
  int withheld_ticks = 0;
  DWORD last_fed_ms = GetTickCount();
  int ticks_left = 0;
  HoldWatch hold;
  hold_watch_start(&hold);
  bool first = true;
  for (;;) {
    if (ticks_left == 0 && withholding(&withheld_recorded)) {
      // Resumed at once when the checks pass again; a ride-through then
      // starts afresh.
      last_fed_ms = GetTickCount();
      if (++withheld_ticks >= TICKS_PER_RESET) {
        withheld_ticks = 0;
        if (rearm_if_lost()) withheld_recorded = false;
      }
    } else if (ticks_left == 0) {
      withheld_ticks = 0;
      RequestOutcome outcome;
      int result = reset_once(&episode, &outcome);
      // Windows' dump settings are read once the timer is fed: the first
      // reset is not held up by them.
      if (first) pretimeout_check_windows();
      first = false;
      if (result == -1) {
        // The system may have slept while the call was out: a suspend's
        // step no longer waits for it.
        if (hold_watch_slept(&hold)) last_fed_ms = GetTickCount();
        // Half the timeout since the last reset taken: a BMC that counts
        // but refuses resets still has the other half to take the disable.
        if (elapsed_ms(last_fed_ms) >= ride_through_limit_ms(timeout_seconds)) {
          *failure_code = request_error_code(outcome);
          return -1;
        }
        ticks_left = RESET_RETRY_TICKS;
      } else {
        // A held reset counts as fed: the timer is meant to be stopped then.
        if (result == 0 && episode.active) episode_ends(&episode);
        last_fed_ms = GetTickCount();
        ticks_left = TICKS_PER_RESET;
      }
    }
    Sleep(TICK_MS);
    if (ticks_left > 0) ticks_left--;
    if (stop_requested != 0) return 0;

    // A sleep, with the timer stopped, is no part of a ride-through: the
    // clock of the last reset taken starts afresh.
    if (hold_watch_slept(&hold)) {
      last_fed_ms = GetTickCount();
      withheld_recorded = false;
    }
    if (hold_watch_bound_reached(&hold)) {
      health_resume();
      BOOL armed = FALSE;
      RequestOutcome outcome;
      int result = session_rearm(TRUE, &armed, &outcome);
      report_warning_event(
          EVENT_NO_RESUME_NOTICE, 0,
          "VYR IPMI ASR: no resume notice 60 s after a suspend; the timer is armed again.");
      if (result == 0) {
        last_fed_ms = GetTickCount();
        ticks_left = TICKS_PER_RESET;
      } else {
        ticks_left = 0;  // the ride-through takes it from here
      }
    }
  }
}
