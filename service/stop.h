// The stop: the event the run routine waits on, and the flags by which the
// run routine and the worker tell each other how far the stop has come.
#pragma once

#include <windows.h>

#include <atomic>

#define FLAG_RAISED (-1)

extern std::atomic<HANDLE> stop_event;
// 0 at start, FLAG_RAISED once raised; never lowered.
extern std::atomic<LONG> stop_requested;
// Raised by the worker after its last report and signal.
extern std::atomic<LONG> worker_finished;

void signal_stop(void);
// Clears stop_event; once it returns, no signal_stop can still be using the
// old handle, and the owner may close it.
void withdraw_stop_event(void);
