// The worker's feed loop: a reset about every 10.1 s, and a ride-through of
// failed resets (a busy BMC, one that is restarting) for up to half the
// timeout.
#pragma once

#include <windows.h>

// Returns 0 when a stop was requested, -1 when no reset has been taken for
// half the timeout; *failure_code then holds the Win32 code of the last
// failure (see request_error_code).
int feed_loop(DWORD *failure_code);
