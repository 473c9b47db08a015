// The timer as the service finds it at start: whose it is, and what ran out
// before this start.
#pragma once

#include "qd4/qd4_driver.h"

// Reads the timer (Get Watchdog Timer, a busy BMC ridden through as
// kStartRequest says; with a record of the service's own timer, every failure
// for half the timeout) and publishes the session when the service may arm
// it: it is stopped, it is the BIOS's boot watchdog (FRB2, POST, OS Load), or
// it is the service's own as its record describes it, left by a crash or a
// shutdown; the service takes these over. A suspend before the reply is taken
// makes it read again after the resume. -1 when another agent runs it (SMS/OS,
// OEM, a reserved use) or the Get failed or came back without its first byte; 0
// without a publish when a stop came first.
int timer_at_start(WatchdogSession session);
// The expiration flags, besides SMS/OS's, that the start's Get showed: every
// Set that arms the timer from then on clears them too (with none, its bytes
// are the plain ones), so that no expiry is reported twice.
BYTE enable_clear_flags(void);
// Back to no flags to clear, as at process start.
void enable_clear_flags_forget(void);
// Once the first enable has been taken: one entry for a BIOS timer or the
// service's own taken over, and one for each expiration flag the start found.
void report_timer_at_start(void);
