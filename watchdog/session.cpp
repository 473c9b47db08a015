#include "watchdog/session.h"

#include "watchdog/commands.h"

std::atomic<WatchdogSession> watchdog_session{0};
std::atomic<bool> resets_held{false};

static SRWLOCK session_lock = SRWLOCK_INIT;

// A busy BMC (completion code C0h) refuses a request now and takes it a
// moment later. A stop or a suspend that left the timer armed would have the
// BMC reset a healthy or sleeping server, so the disable is tried again.
#define DISABLE_ATTEMPTS 3
#define DISABLE_RETRY_MS 100

static int disable_retrying(WatchdogSession session) {
  for (int attempt = 1;; attempt++) {
    if (wd_disable(session) == 0) return 0;
    if (attempt == DISABLE_ATTEMPTS) return -1;
    Sleep(DISABLE_RETRY_MS);
  }
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

// With the lock held.
static void keep_outcome(RequestOutcome *outcome) {
  if (outcome) *outcome = last_request_outcome();
}

int session_command(int (*command)(WatchdogSession), RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = session ? command(session) : -1;
  keep_outcome(outcome);
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

void session_suspend_query(void) { session_command(disable_retrying, NULL); }

void session_suspend(void) {
  AcquireSRWLockExclusive(&session_lock);
  // Held even before a session is open, so that a worker still starting
  // cannot start the timer just before the system sleeps.
  resets_held = true;
  WatchdogSession session = watchdog_session;
  if (session) disable_retrying(session);
  ReleaseSRWLockExclusive(&session_lock);
}

void session_resume(void) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  if (session) wd_enable(session);
  // Resets flow again even if the enable failed: a reset then restarts the
  // timer with the disable's count, which still guards the system.
  resets_held = false;
  ReleaseSRWLockExclusive(&session_lock);
}

int session_disable_and_withdraw(RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = session ? disable_retrying(session) : -1;
  keep_outcome(outcome);
  watchdog_session = 0;
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

int session_reset(RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = !session ? -1 : resets_held ? RESET_HELD : wd_reset(session);
  keep_outcome(outcome);
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

int session_rearm(BOOL end_hold, BOOL *armed, RequestOutcome *outcome) {
  AcquireSRWLockExclusive(&session_lock);
  *armed = FALSE;
  if (end_hold) resets_held = false;
  WatchdogSession session = watchdog_session;
  int result = -1;
  if (!session) {
    // the worker has withdrawn it: nothing to arm
  } else if (resets_held) {
    result = RESET_HELD;
  } else {
    *armed = wd_enable(session) == 0;
    // A failed enable still gets its reset: a timer that kept its settings
    // starts, and the outcome tells what the BMC answered last.
    result = wd_reset(session);
  }
  keep_outcome(outcome);
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}
