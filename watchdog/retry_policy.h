// How the service meets a BMC that refuses a request (busy, C0h) or does not
// answer: every retry policy in one place.
#pragma once

#include <windows.h>

// A refused request is tried again a moment later. The loop ends at the first
// request taken, or when either bound (0: none) is reached.
struct RetryPolicy {
  int attempts;
  DWORD retry_ms;  // pause between two tries
  DWORD limit_ms;  // no try starts later than this after the first
  // Every failure is tried again (a timer left armed would have the BMC reset
  // a healthy or sleeping server); otherwise only a busy or transient answer
  // (IPMI 2.0 table 5-2), and a BMC out of reach fails at once.
  bool any_failure;
  // A stop requested ends the tries at once.
  bool ends_at_stop;
};
// A suspend's disable, and the one after a ride-through gave up: three tries
// 100 ms apart, since the system is about to sleep, or the BMC has refused
// resets for half the timeout.
constexpr RetryPolicy kQuickDisable = {3, 100, 0, true, false};
// The orderly stop's rides through a busy spell of up to 10 s; the run
// routine keeps the service manager waiting meanwhile.
constexpr RetryPolicy kStopDisable = {0, 200, 10000, true, false};
// The start's Get and enable ride through a busy BMC as the stop does; the
// service manager already shows the service running.
constexpr RetryPolicy kStartRequest = {0, kStopDisable.retry_ms, kStopDisable.limit_ms, false,
                                       true};
// A preshutdown's Set and reset ride through a BMC that fails them while a
// try, with one library call of up to LIBRARY_CALL_ALLOWANCE_MS, still ends
// within the shutdown's bound of 8 s; its limit counts from the control.
constexpr RetryPolicy kShutdownRetry = {0, 200, 4000, true, false};
// How long the run routine waits after a stop for a worker that still holds
// its session: the stop's disable and two library calls of up to 3 s (our
// library's reply timeout), one in flight when the stop came and the
// disable's last. A worker without a session gets 2 s, as before.
#define LIBRARY_CALL_ALLOWANCE_MS 3000
#define STOP_WAIT_LIMIT_MS (kStopDisable.limit_ms + 2 * LIBRARY_CALL_ALLOWANCE_MS)

// The worker's tick: a stop is seen within one.
#define TICK_MS 100
// A failed reset is tried again at most once a second: a busy BMC or one that
// is restarting answers again within seconds.
#define RESET_RETRY_TICKS 10
// The ride-through gives up when no reset has been taken for half the
// timeout: a BMC that counts but refuses resets still has the other half to
// take the disable.
inline DWORD ride_through_limit_ms(WORD timeout_seconds) {
  return (DWORD)(timeout_seconds / 2) * 1000u;
}
// A start that finds the record of its own timer (left running by a crash
// or a shutdown) rides its Get through every failure as the feed loop rides
// its resets, once a second for half the timeout: refusing the timer it left
// would have the BMC reset a healthy server.
inline RetryPolicy own_timer_start_request(WORD timeout_seconds) {
  return RetryPolicy{0, RESET_RETRY_TICKS * TICK_MS, ride_through_limit_ms(timeout_seconds), true,
                     true};
}

// An enable refused at a resume or at the end of a suspend's hold is owed:
// it is sent again before each reset until the BMC takes it, so that the
// timer never runs on with the disable's count and settings.

// The longest the control handler waits for a power event's step: Windows
// gives an application about 2 s to act on a suspend, and waits for a
// handler (30 s at most) before it sends other services their controls.
#define HANDLER_WAIT_MS 2000
