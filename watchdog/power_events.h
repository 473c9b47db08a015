// Power events from the control handler. Each runs its session step on a
// thread of its own, and the handler waits for it at most HANDLER_WAIT_MS:
// the worker may hold the session in a library call for minutes, and Windows
// waits for the handler.
#pragma once

// A suspend query disarms the timer; resets go on, since the query may be
// refused.
void power_suspend_query(void);
// A suspend holds resets at once and disarms the timer. A disarm that did not
// go out within the bound is written as failed at once: the system sleeps.
void power_suspend(void);
// A resume arms the timer again and ends the hold.
void power_resume(void);
