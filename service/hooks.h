// What the service's entry points hand on to the watchdog: declared here, for
// the dispatcher's routines to call, and provided by watchdog/.
#pragma once

#include <windows.h>

// Brings the service to RUNNING, runs the worker and returns once it has
// stopped; the caller reports STOPPED.
void run_service(DWORD argc, LPSTR *argv);

// Power events. Each runs its session step on a thread of its own, and the
// handler waits for it at most HANDLER_WAIT_MS: the worker may hold the
// session in a library call for minutes, and Windows waits for the handler.
// A suspend query disarms the timer; resets go on, since the query may be
// refused.
void power_suspend_query(void);
// A suspend holds resets at once and disarms the timer. A disarm that did not
// go out within the bound is written as failed at once: the system sleeps.
void power_suspend(void);
// A resume arms the timer again and ends the hold.
void power_resume(void);

// The preshutdown control, before its stop is signalled: the worker is to
// leave the timer armed for the shutdown, within SHUTDOWN_BOUND_MS from now.
void shutdown_taken(void);
