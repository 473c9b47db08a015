// A planned shutdown or reboot. The timer is never disarmed then, so that a
// hung shutdown is still reset; it is left armed with an allowance long enough
// for the shutdown, the firmware's POST and the boot up to the next start,
// since on a warm reset some BMCs keep counting. A power-off stops the timer;
// after a reboot the next start finds its own timer and takes it back.
#pragma once

#include <windows.h>

#include <atomic>

#include "service/parameters.h"
#include "service/timing.h"

// Raised by the preshutdown control (shutdown_taken, service/hooks.h) before
// it signals the stop; the worker then leaves the timer armed instead of
// disarming it. Never lowered.
extern std::atomic<LONG> shutdown_requested;
// GetTickCount() when the control came: the bound counts from there.
extern std::atomic<DWORD> shutdown_requested_ms;

// At start: reads ShutdownAllowance; a value out of range (below the running
// timeout, above 6553 s) or not a REG_DWORD gets a warning and the default.
void shutdown_allowance_start(void);
WORD shutdown_allowance_seconds(void);
// The worker's last step at a preshutdown, its session still published: one
// Set with the allowance and one reset, busy answers tried again within the
// bound; an information entry, or an error entry when the BMC refused (the
// timer then runs on as it was).
void shutdown_leave_armed(void);
