// How the service meets a BMC that refuses a request (busy, C0h) or does not
// answer: every retry policy in one place.
#pragma once

#include <windows.h>

// A refused disable (an orderly stop's, a suspend's, the one after a
// ride-through gave up) is tried again a moment later: a timer left armed
// would have the BMC reset a healthy or sleeping server.
#define DISABLE_ATTEMPTS 3
#define DISABLE_RETRY_MS 100

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

// An enable refused at a resume or at the end of a suspend's hold is owed:
// it is sent again before each reset until the BMC takes it, so that the
// timer never runs on with the disable's count and settings.
