#include "watchdog/feed_loop.h"

#include <stdio.h>

#include "service/state.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/session.h"

#define TICK_MS 100
// A reset at once, then one after every 101 ticks: about every 10.1 s.
#define TICKS_PER_RESET 101
// A failed reset is tried again at most once a second: a busy BMC (C0h) or
// one that is restarting answers again within seconds.
#define TICKS_PER_RETRY 10
// A suspend's hold on resets ends after 60 s of this thread's own ticks when
// no resume notice came: a sleeping system stops the ticks, so the bound runs
// out only when the system did not sleep or the notice was lost.
#define HOLD_LIMIT_TICKS 600
// IPMI 2.0 section 27.5: Reset Watchdog Timer before any Set since the BMC
// started ("attempt to start un-initialized watchdog").
#define CC_WATCHDOG_NOT_SET 0x80

// A run of failed resets, from the first failure to the next reset the BMC
// takes.
struct Episode {
  BOOL active;
  DWORD started_ms;
  BOOL rearmed;
};

static DWORD elapsed_ms(DWORD since) { return GetTickCount() - since; }

static BOOL lost_settings(RequestOutcome outcome) {
  return outcome.sent && outcome.status == 0 && outcome.completion_code == CC_WATCHDOG_NOT_SET;
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
  if (lost_settings(outcome))
    snprintf(text, sizeof text,
             "VYR IPMI ASR: the BMC has lost the watchdog settings (%s); arming the timer again.",
             what);
  else
    snprintf(text, sizeof text, "VYR IPMI ASR: timer reset failed (%s); retrying once a second.",
             what);
  report_warning_event(request_error_code(outcome), text);
}

static void episode_ends(Episode *episode) {
  DWORD ms = elapsed_ms(episode->started_ms);
  char text[256];
  snprintf(text, sizeof text, "VYR IPMI ASR: timer resets succeed again after %lu.%lu s; %s.",
           (unsigned long)(ms / 1000), (unsigned long)(ms % 1000 / 100),
           episode->rearmed ? "the timer was armed again" : "the timer kept its settings");
  report_info_event(text);
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

int feed_loop(DWORD *failure_code) {
  Episode episode = {FALSE, 0, FALSE};
  DWORD last_fed_ms = GetTickCount();
  int ticks_left = 0;
  int held_ticks = 0;
  unsigned resumes_seen = resume_count;
  for (;;) {
    if (ticks_left == 0) {
      RequestOutcome outcome;
      int result = reset_once(&episode, &outcome);
      if (result == -1) {
        // Half the timeout since the last reset taken: a BMC that counts
        // but refuses resets still has the other half to take the disable.
        if (elapsed_ms(last_fed_ms) >= (DWORD)(timeout_seconds / 2) * 1000u) {
          *failure_code = request_error_code(outcome);
          return -1;
        }
        ticks_left = TICKS_PER_RETRY;
      } else {
        // A held reset counts as fed: the timer is meant to be stopped then.
        if (result == 0 && episode.active) episode_ends(&episode);
        last_fed_ms = GetTickCount();
        ticks_left = TICKS_PER_RESET;
      }
    }
    Sleep(TICK_MS);
    ticks_left--;
    if (stop_requested != 0) return 0;

    // A sleep, with the timer stopped, is no part of a ride-through: while
    // resets are held, and after each resume, the clock of the last reset
    // taken starts afresh.
    unsigned resumes = resume_count;
    if (resets_held || resumes != resumes_seen) last_fed_ms = GetTickCount();
    resumes_seen = resumes;
    held_ticks = resets_held ? held_ticks + 1 : 0;
    if (held_ticks >= HOLD_LIMIT_TICKS) {
      held_ticks = 0;
      BOOL armed = FALSE;
      RequestOutcome outcome;
      int result = session_rearm(TRUE, &armed, &outcome);
      report_warning_event(
          0, "VYR IPMI ASR: no resume notice 60 s after a suspend; the timer is armed again.");
      if (result == 0) {
        last_fed_ms = GetTickCount();
        ticks_left = TICKS_PER_RESET;
      } else {
        ticks_left = 0;  // the ride-through takes it from here
      }
    }
  }
}
