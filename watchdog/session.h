// The open driver session, shared by the worker and the control handler. One
// lock guards the variable and every command sent on it, so that the handler
// never sends a command on a session the worker is closing.
#pragma once

#include <atomic>

#include "qd4/qd4_driver.h"
#include "watchdog/commands.h"
#include "watchdog/retry_policy.h"

// 0 whenever no session is open.
extern std::atomic<WatchdogSession> watchdog_session;
// Raised when an enable at a resume or a hold's end was refused; the next
// reset sends it first.
extern std::atomic<bool> enable_owed;

void session_publish(WatchdogSession session);
// Clears the variable; no command is in flight on the session afterwards.
void session_withdraw(void);
// Disables the timer (a refused disable is tried again as retry says) and
// clears the variable in one step, so that no power event can re-arm the
// timer in between. Returns the disable's result.
int session_disable_and_withdraw(const DisableRetry &retry, RequestOutcome *outcome);
// Runs command on the published session under the lock; -1 when none is open.
// Each of these that takes an outcome (or NULL) stores there what the last
// request came back with.
int session_command(int (*command)(WatchdogSession, RequestOutcome *), RequestOutcome *outcome);
// Power events from the control handler; their disables are retried likewise.
void session_suspend_query(void);
void session_suspend(void);
void session_resume(void);
// session_reset's answer while a suspend holds resets: nothing was sent, so
// that the timer stays stopped while the system sleeps.
#define RESET_HELD 1
// The worker's periodic reset: 0 when the BMC took it, RESET_HELD, or -1.
int session_reset(RequestOutcome *outcome);
// Arms the timer again and restarts it: the enable, then the reset, in one
// locked step. With end_hold, a suspend's hold ends first (its resume never
// came). *armed tells whether the enable was taken. Answers as session_reset.
int session_rearm(BOOL end_hold, BOOL *armed, RequestOutcome *outcome);
