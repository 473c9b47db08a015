// The optional pre-timeout interrupt: the BMC raises an NMI some seconds
// before it resets the server, and Windows answers it with bug check 80h
// (NMI_HARDWARE_FAILURE) and its crash dump, so that a hang leaves a dump.
#pragma once

#include "qd4/qd4_driver.h"
#include "watchdog/commands.h"

// The service path's second argument, null when there is none, and its value
// converted as the timeout's is (the low 16 bits of its decimal value).
extern const char *pretimeout_argument;
extern WORD pretimeout_requested;

#define PRETIMEOUT_MIN_SECONDS 10
// The longest pre-timeout for a timeout: the NMI must come at least 30 s after
// a ride-through of a busy or absent BMC has given up and disarmed the timer,
// so that it never strikes a healthy server; and the field is one byte.
WORD pretimeout_max_seconds(WORD timeout);

// At start, before the first enable: with a second argument, takes its
// pre-timeout for every enable when it lies in range, else warns that the
// service runs without it.
void pretimeout_start(void);
// After the first reset, with a pre-timeout in use: warns when Windows is not
// set to write a crash dump on an NMI, and when the interval is short for a
// dump.
void pretimeout_check_windows(void);

// The enable, for every place that sends it. A BMC that refuses the
// pre-timeout (ipmi::refuses_pretimeout) gets the plain enable at once and
// from then on, with one warning; a busy answer is the caller's to retry.
int pretimeout_enable(WatchdogSession session, RequestOutcome *outcome = nullptr);
// The pre-timeout the enable sends now: 0 when none is asked for or the BMC
// refused it.
BYTE pretimeout_in_force(void);
