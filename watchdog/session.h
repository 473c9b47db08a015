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

// Clears the variable; no command is in flight on the session afterwards.
void session_withdraw(void);
// Publishes the session unless a suspend has come since suspends_before
// (hold_suspends()) or its hold is in force: a timer the start read before a
// suspend is read again after the resume. Under the lock that a suspend's
// step takes after raising the hold, so that a suspend either stops the
// publish or finds the session and disarms the timer.
BOOL session_publish_unless_suspended(WatchdogSession session, unsigned suspends_before);
// Disables the timer (a refused disable is tried again as policy says) and
// clears the variable in one step, so that no power event can re-arm the
// timer in between. Returns the disable's result.
int session_disable_and_withdraw(const RetryPolicy &policy, RequestOutcome *outcome);
// Runs command on the published session under the lock; -1 when none is open.
// Each of these that takes an outcome (or NULL) stores there what the last
// request came back with.
int session_command(int (*command)(WatchdogSession, RequestOutcome *), RequestOutcome *outcome);
// Runs command again after each failure the policy retries, until it is
// taken or the policy's bounds or a stop end the tries. On the published
// session, under the lock for each try alone, so that power events go on in
// between; command_retrying on a session the caller holds or has not
// published.
int session_retrying(int (*command)(WatchdogSession, RequestOutcome *), const RetryPolicy &policy,
                     RequestOutcome *outcome);
int command_retrying(WatchdogSession session, int (*command)(WatchdogSession, RequestOutcome *),
                     const RetryPolicy &policy, RequestOutcome *outcome);
// Power events, numbered as the control handler takes them. Each step runs
// only while no newer event has come: a step that waited for the lock is
// dropped then, so that a delayed disarm never lands after a resume's enable.
unsigned session_power_event_taken(void);
void session_suspend_query(unsigned event);
// 0 when the timer was disarmed, or there was none to disarm or the step was
// dropped; -1 when the disable was refused (outcome: its last answer).
int session_suspend(unsigned event, RequestOutcome *outcome);
void session_resume(unsigned event);
// session_reset's answer while a suspend holds resets: nothing was sent, so
// that the timer stays stopped while the system sleeps.
#define RESET_HELD 1
// The worker's periodic reset: 0 when the BMC took it, RESET_HELD, or -1.
int session_reset(RequestOutcome *outcome);
// Arms the timer again and restarts it: the enable, then the reset, in one
// locked step. With end_hold, a suspend's hold ends first (its resume never
// came). *armed tells whether the enable was taken. Answers as session_reset.
int session_rearm(BOOL end_hold, BOOL *armed, RequestOutcome *outcome);
