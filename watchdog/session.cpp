#include "watchdog/session.h"

#include "ipmi/ipmi.h"
#include "service/events.h"
#include "service/stop.h"
#include "watchdog/commands.h"
#include "watchdog/pretimeout.h"
#include "watchdog/retry_policy.h"
#include "watchdog/suspend_hold.h"

std::atomic<WatchdogSession> watchdog_session{0};
std::atomic<bool> enable_owed{false};

static SRWLOCK session_lock = SRWLOCK_INIT;

static bool worth_retrying(const RetryPolicy &policy, const RequestOutcome &outcome) {
  if (policy.any_failure) return true;
  return outcome.sent && outcome.status == 0 && ipmi::is_transient(outcome.completion_code);
}

static bool stopped_by(const RetryPolicy &policy) {
  return policy.ends_at_stop && stop_requested != 0;
}

// With session 0, each try on the published session under the lock.
static int retrying(WatchdogSession session, int (*command)(WatchdogSession, RequestOutcome *),
                    const RetryPolicy &policy, RequestOutcome *outcome) {
  DWORD first = GetTickCount();
  RequestOutcome last;
  int result;
  for (int attempt = 1;; attempt++) {
    result = session ? command(session, &last) : session_command(command, &last);
    if (result == 0 || !worth_retrying(policy, last) || stopped_by(policy)) break;
    if (policy.attempts != 0 && attempt >= policy.attempts) break;
    if (policy.limit_ms != 0 && GetTickCount() - first + policy.retry_ms > policy.limit_ms) break;
    Sleep(policy.retry_ms);
    if (stopped_by(policy)) break;
  }
  if (outcome) *outcome = last;
  return result;
}

int session_retrying(int (*command)(WatchdogSession, RequestOutcome *), const RetryPolicy &policy,
                     RequestOutcome *outcome) {
  return retrying(0, command, policy, outcome);
}

int command_retrying(WatchdogSession session, int (*command)(WatchdogSession, RequestOutcome *),
                     const RetryPolicy &policy, RequestOutcome *outcome) {
  return retrying(session, command, policy, outcome);
}

static int quick_disable(WatchdogSession session, RequestOutcome *outcome) {
  return retrying(session, wd_disable, kQuickDisable, outcome);
}

static std::atomic<unsigned> power_events{0};

unsigned session_power_event_taken(void) { return ++power_events; }

static bool superseded(unsigned event) { return event != power_events; }

// The outcome of a step that sent nothing.
static void nothing_sent(RequestOutcome *outcome) {
  if (outcome) *outcome = RequestOutcome{FALSE, 0, 0xFF, 0};
}

void session_withdraw(void) {
  AcquireSRWLockExclusive(&session_lock);
  watchdog_session = 0;
  ReleaseSRWLockExclusive(&session_lock);
}

int session_command(int (*command)(WatchdogSession, RequestOutcome *), RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = -1;
  if (session)
    result = command(session, outcome);
  else
    nothing_sent(outcome);
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

BOOL session_publish_unless_suspended(WatchdogSession session, unsigned suspends_before) {
  AcquireSRWLockExclusive(&session_lock);
  BOOL publish = hold_suspends() == suspends_before && !hold_in_force();
  if (publish) watchdog_session = session;
  ReleaseSRWLockExclusive(&session_lock);
  return publish;
}

void session_suspend_query(unsigned event) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  if (session && !superseded(event)) quick_disable(session, NULL);
  ReleaseSRWLockExclusive(&session_lock);
}

int session_suspend(unsigned event, RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = session && !superseded(event) ? quick_disable(session, outcome) : 0;
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

void session_resume(unsigned event) {
  AcquireSRWLockExclusive(&session_lock);
  if (!superseded(event)) {
    WatchdogSession session = watchdog_session;
    // A refused enable is owed: the worker sends it before its next reset.
    enable_owed = session && pretimeout_enable(session) != 0;
    // Armed again: a suspend's refused disable no longer tells how the
    // service ends.
    if (session && !enable_owed) exit_error_mended();
    hold_end_by_resume();
  }
  ReleaseSRWLockExclusive(&session_lock);
}

int session_disable_and_withdraw(const RetryPolicy &policy, RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = -1;
  if (session)
    result = retrying(session, wd_disable, policy, outcome);
  else
    nothing_sent(outcome);
  watchdog_session = 0;
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

int session_reset(RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result;
  if (!session) {
    result = -1;
    nothing_sent(outcome);
  } else if (hold_in_force()) {
    result = RESET_HELD;
    nothing_sent(outcome);
  } else if (enable_owed && pretimeout_enable(session, outcome) != 0) {
    result = -1;  // tried again with the ride-through's next retry
  } else {
    if (enable_owed) exit_error_mended();
    enable_owed = false;
    result = wd_reset(session, outcome);
  }
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

int session_rearm(BOOL end_hold, BOOL *armed, RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  *armed = FALSE;
  if (end_hold) hold_end_by_bound();
  WatchdogSession session = watchdog_session;
  int result = -1;
  if (!session) {
    // the worker has withdrawn it: nothing to arm
    nothing_sent(outcome);
  } else if (hold_in_force()) {
    result = RESET_HELD;
    nothing_sent(outcome);
  } else {
    *armed = pretimeout_enable(session) == 0;
    // Refused, it is owed like a resume's, so that the timer does not run on
    // with the disable's settings once resets are taken again.
    enable_owed = !*armed;
    if (*armed) exit_error_mended();
    // A failed enable still gets its reset: a timer that kept its settings
    // starts, and the outcome tells what the BMC answered last.
    result = wd_reset(session, outcome);
  }
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}
