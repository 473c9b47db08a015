// The four IPMI watchdog operations, each one Set, Reset or Get Watchdog Timer
// request. 0 for success, -1 for failure (wd_is_running: 1 running, 0 stopped).
#pragma once

#include "watchdog/qd4_driver.h"

// Watchdog timeout in seconds, 250..3200 by the time a command reads it.
extern WORD timeout_seconds;

int wd_disable(WatchdogSession session);
int wd_enable(WatchdogSession session);
int wd_reset(WatchdogSession session);
int wd_is_running(WatchdogSession session);
