// How the service meets a BMC that refuses a request (busy, C0h) or does not
// answer: the retry policies of single requests, and the bound of the feed
// loop's ride-through of failed resets. Their spans are in service/timing.h.
#pragma once

#include <windows.h>

#include "service/timing.h"

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
// The disables at a suspend query and a suspend, and the one after a
// ride-through gave up: three tries, since the system is about to sleep, or
// the BMC has refused resets for half the timeout.
constexpr RetryPolicy kQuickDisable = {3, QUICK_DISABLE_RETRY_MS, 0, true, false};
// The orderly stop's disable, and a removal's Get and disable of a timer the
// stopped service left running: every failure, through a busy spell of up to
// 10 s. The run routine (or the removal) keeps waiting meanwhile.
constexpr RetryPolicy kStopDisable = {0, STOP_DISABLE_RETRY_MS, STOP_DISABLE_LIMIT_MS, true, false};
// The start's Get (with no record of the service's own timer) and its first
// enable: only busy or transient answers, for as long as the stop's disable
// rides through them, and a stop ends the tries; the service manager already
// shows the service running.
constexpr RetryPolicy kStartRequest = {0, STOP_DISABLE_RETRY_MS, STOP_DISABLE_LIMIT_MS, false,
                                       true};
// A preshutdown's Set and reset: every failure, while a try can still end
// within SHUTDOWN_BOUND_MS; the caller counts the limit from the control.
constexpr RetryPolicy kShutdownRetry = {0, SHUTDOWN_RETRY_MS, SHUTDOWN_RETRY_LIMIT_MS, true, false};

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
