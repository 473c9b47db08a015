#include "watchdog/suspend_hold.h"

#include <atomic>

#include "service/timing.h"

#define HOLD_LIMIT_TICKS (SUSPEND_HOLD_BOUND_MS / TICK_MS)

static std::atomic<bool> resets_held{false};
static std::atomic<unsigned> resume_count{0};
static std::atomic<unsigned> suspend_count{0};

void hold_raise(void) {
  suspend_count++;
  resets_held = true;
}

unsigned hold_suspends(void) { return suspend_count; }

void hold_end_by_resume(void) {
  resets_held = false;
  resume_count++;
}

void hold_end_by_bound(void) { resets_held = false; }

bool hold_in_force(void) { return resets_held; }

void hold_clear(void) {
  resets_held = false;
  resume_count = 0;
}

void hold_watch_start(HoldWatch *watch) {
  watch->resumes_seen = resume_count;
  watch->held_ticks = 0;
}

bool hold_watch_slept(HoldWatch *watch) {
  unsigned resumes = resume_count;
  bool slept = resets_held || resumes != watch->resumes_seen;
  watch->resumes_seen = resumes;
  return slept;
}

bool hold_watch_bound_reached(HoldWatch *watch) {
  watch->held_ticks = resets_held ? watch->held_ticks + 1 : 0;
  if (watch->held_ticks < HOLD_LIMIT_TICKS) return false;
  watch->held_ticks = 0;
  return true;
}
