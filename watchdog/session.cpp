#include "watchdog/session.h"

#include "service/state.h"
#include "watchdog/commands.h"

std::atomic<WatchdogSession> watchdog_session{0};
std::atomic<bool> resets_held{false};
std::atomic<bool> enable_owed{false};
std::atomic<unsigned> resume_count{0};

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
  int result = session ? disable_retrying(session) : 0;
  RequestOutcome outcome;
  keep_outcome(&outcome);
  ReleaseSRWLockExclusive(&session_lock);
  if (result != 0) {
    // The system sleeps with the timer counting, and the BMC may reset it
    // asleep: say so.
    SetLastError(request_error_code(outcome));
    report_error_event("VYR IPMI ASR: timer disable failed at a suspend; the timer stays armed.");
  }
}

void session_resume(void) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  // A refused enable is owed: the worker sends it before its next reset, so
  // that the timer never runs on with the disable's count and settings.
  enable_owed = session && wd_enable(session) != 0;
  resets_held = false;
  resume_count++;
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
  int result;
  if (!session) {
    result = -1;
  } else if (resets_held) {
    result = RESET_HELD;
  } else if (enable_owed && wd_enable(session) != 0) {
    result = -1;  // tried again with the ride-through's next retry
  } else {
    enable_owed = false;
    result = wd_reset(session);
  }
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
    // Refused, it is owed like a resume's, so that the timer does not run on
    // with the disable's settings once resets are taken again.
    enable_owed = !*armed;
    // A failed enable still gets its reset: a timer that kept its settings
    // starts, and the outcome tells what the BMC answered last.
    result = wd_reset(session);
  }
  keep_outcome(outcome);
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}
