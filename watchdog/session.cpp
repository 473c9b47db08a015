#include "watchdog/session.h"

#include "watchdog/commands.h"

std::atomic<WatchdogSession> watchdog_session{0};
std::atomic<bool> resets_held{false};

static SRWLOCK session_lock = SRWLOCK_INIT;

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

int session_command(int (*command)(WatchdogSession)) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = session ? command(session) : -1;
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

void session_suspend_query(void) { session_command(wd_disable); }

void session_suspend(void) {
  AcquireSRWLockExclusive(&session_lock);
  // Held even before a session is open, so that a worker still starting
  // cannot start the timer just before the system sleeps.
  resets_held = true;
  WatchdogSession session = watchdog_session;
  if (session) wd_disable(session);
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

int session_disable_and_withdraw(void) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result = session ? wd_disable(session) : -1;
  watchdog_session = 0;
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}

int session_reset(void) {
  AcquireSRWLockExclusive(&session_lock);
  WatchdogSession session = watchdog_session;
  int result;
  if (!session)
    result = -1;
  else if (resets_held)
    result = 0;
  else
    result = wd_reset(session);
  ReleaseSRWLockExclusive(&session_lock);
  return result;
}
