// The health monitor: a thread of its own that runs the opt-in checks, each
// on a thread of its own with one run in flight and bounded by its limit,
// and sets the verdict that the feed loop reads. A check that has failed for
// HealthGrace without a pass has the resets withheld, so that the BMC resets
// a server that is up but does no work (and, with the pre-timeout, leaves a
// crash dump of the stall).
#pragma once

#include <windows.h>

#include "health/check_run.h"

// How much of a check's name the timer's record keeps.
#define HEALTH_NAME_RECORDED 127

// At start, once the start found that the BMC reset the server after the
// service withheld the resets for this check: the check only reports until
// it has passed once, so that a server whose check fails from boot on is not
// reset again and again.
void health_guard_after_reset(const char *check);

// Once the timer is armed: reads the settings, writes an error entry for
// each mistake and one information entry listing the checks in force, and
// starts the monitor's thread. With no health value set it does nothing at
// all. timeout_s and pretimeout_s tell the withholding entry when the BMC
// acts.
void health_monitor_start(WORD timeout_s, BYTE pretimeout_s);
// Ends the monitor's thread (runs still in flight are left to end on their
// own) and lifts the verdict. Bounded: the thread waits on nothing but its
// stop.
void health_monitor_stop(void);

// The verdict, read by the feed loop without a lock or a wait: the name of
// the check for which the resets are withheld, or null.
const char *health_withheld_by(void);

// A suspend pauses the checks; the resume (or the end of a suspend's hold
// without one) takes them up again, with the time asleep not counted.
void health_pause(void);
void health_resume(void);

// Back to the state at process start.
void health_clear(void);
