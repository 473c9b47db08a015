#include "watchdog/session.h"

#include "service/state.h"
#include "watchdog/commands.h"
#include "watchdog/pretimeout.h"
#include "watchdog/retry_policy.h"
#include "watchdog/suspend_hold.h"

std::atomic<WatchdogSession> watchdog_session{0};
std::atomic<bool> enable_owed{false};

static SRWLOCK session_lock = SRWLOCK_INIT;

static int disable_retrying(WatchdogSession session, const DisableRetry &retry,
                            RequestOutcome *outcome) {
  DWORD first = GetTickCount();
  for (int attempt = 1;; attempt++) {
    if (wd_disable(session, outcome) == 0) return 0;
    if (retry.attempts != 0 && attempt >= retry.attempts) return -1;
    if (retry.limit_ms != 0 && GetTickCount() - first + retry.retry_ms > retry.limit_ms) return -1;
    Sleep(retry.retry_ms);
  }
}

static int quick_disable(WatchdogSession session, RequestOutcome *outcome) {
  return disable_retrying(session, kQuickDisable, outcome);
}

// The outcome of a step that sent nothing.
static void nothing_sent(RequestOutcome *outcome) {
  if (outcome) *outcome = RequestOutcome{FALSE, 0, 0xFF, 0};
}

void session_publish(WatchdogSession session) {
  AcquireSRWLockExclusive(&session_lock);
  watchdog_session = session;
  ReleaseSRWLockExclusive(&session_lock);
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

void session_suspend_query(void) { session_command(quick_disable, NULL); }

void session_suspend(void) {
  AcquireSRWLockExclusive(&session_lock);
  // Held even before a session is open, so that a worker still starting
  // cannot start the timer just before the system sleeps.
  hold_raise();
  WatchdogSession session = watchdog_session;
  RequestOutcome outcome;
  int result = session ? quick_disable(session, &outcome) : 0;
  ReleaseSRWLockExclusive(&session_lock);
  if (result != 0) {
    // The system sleeps with the timer counting, and the BMC may reset it
    // asleep: say so.
    SetLastError(request_error_code(outcome));
    report_error_event("VYR IPMI ASR: timer disable failed at a suspend; the timer stays armed.",
                       EVENT_SUSPEND_DISABLE_FAILED);
  }
}

void session_resume(void) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  // A refused enable is owed: the worker sends it before its next reset.
  enable_owed = session && pretimeout_enable(session) != 0;
  hold_end_by_resume();
  ReleaseSRWLockExclusive(&session_lock);
}

int session_disable_and_withdraw(const DisableRetry &retry, RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = -1;
  if (session)
    result = disable_retrying(session, retry, outcome);
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
    // A failed enable still gets its reset: a timer that kept its settings
    // starts, and the outcome tells what the BMC answered last.
    result = wd_reset(session, outcome);
  }
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}
