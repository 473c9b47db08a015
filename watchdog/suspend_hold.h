// A suspend's hold on resets: raised by a suspend, so that no reset can start
// the timer just before the system sleeps, and ended by a resume notice or,
// when none comes, by its bound of 60 s of the worker's own ticks. A sleeping
// system stops the ticks, so the bound runs out only when the system did not
// sleep or the notice was lost. A suspend raises it at once, without the
// session's lock, which the worker may hold in a long library call; the ending
// happens in the session's locked steps. The worker watches the hold once per
// tick.
#pragma once

void hold_raise(void);
// How many suspends have raised the hold since process start.
unsigned hold_suspends(void);
// A resume notice ends the hold and counts, so that the worker learns of a
// resume even when the system slept before it saw the hold.
void hold_end_by_resume(void);
// The bound ran out: the hold ends without a resume.
void hold_end_by_bound(void);
bool hold_in_force(void);
// Back to no hold and no resume seen, as at process start.
void hold_clear(void);

// The worker's watch over the hold, one call per tick.
struct HoldWatch {
  unsigned resumes_seen;
  int held_ticks;
};
void hold_watch_start(HoldWatch *watch);
// True while resets are held or when a resume came since the last tick: the
// time asleep, with the timer stopped, is no part of a ride-through.
bool hold_watch_slept(HoldWatch *watch);
// True once, when the hold has lasted its bound with no resume notice.
bool hold_watch_bound_reached(HoldWatch *watch);
