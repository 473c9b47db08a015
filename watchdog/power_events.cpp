#include <stdint.h>

#include <atomic>

#include "health/monitor.h"
#include "service/events.h"
#include "service/hooks.h"
#include "service/timing.h"
#include "watchdog/commands.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/suspend_hold.h"

enum StepKind { kSuspendQuery, kSuspend, kResume };
enum StepState { kRunning, kDone, kAbandoned };

// What the handler and a step's thread share, one slot per power event in
// turn. The service manager hands the handler one control at a time, so a
// slot is taken again only when its handler is long done with it; a step
// that finds its slot taken by a newer event is stale, and its session step
// drops it anyway.
#define STEP_SLOTS 4
struct StepSlot {
  std::atomic<int> kind;
  std::atomic<unsigned> word;  // the event's number and its StepState
};
static StepSlot slots[STEP_SLOTS];

static unsigned word_of(unsigned event, StepState state) { return event << 2 | state; }

// Moves the event's step from running to state; false when the other side
// has moved it first (or the slot holds a newer event).
static bool settle(unsigned event, StepState state) {
  unsigned running = word_of(event, kRunning);
  return slots[event % STEP_SLOTS].word.compare_exchange_strong(running, word_of(event, state));
}

// The system sleeps with the timer counting, and the BMC may reset it asleep:
// say so. Mended when the timer is armed again after it.
static void report_disarm_failed(DWORD error) {
  SetLastError(error);
  report_mendable_error_event(
      "VYR IPMI ASR: timer disable failed at a suspend; the timer stays armed.",
      EVENT_SUSPEND_DISABLE_FAILED);
}

static DWORD WINAPI run_step(LPVOID parameter) {
  unsigned event = (unsigned)(uintptr_t)parameter;
  RequestOutcome outcome;
  int result = 0;
  switch (slots[event % STEP_SLOTS].kind) {
    case kSuspendQuery:
      session_suspend_query(event);
      break;
    case kSuspend:
      result = session_suspend(event, &outcome);
      break;
    case kResume:
      session_resume(event);
      break;
  }
  // A handler that stopped waiting has written the entry already.
  if (settle(event, kDone) && result != 0) report_disarm_failed(request_error_code(outcome));
  return 0;
}

static void run_bounded(StepKind kind) {
  unsigned event = session_power_event_taken();
  StepSlot &slot = slots[event % STEP_SLOTS];
  slot.kind = kind;
  slot.word = word_of(event, kRunning);
  LPVOID parameter = (LPVOID)(uintptr_t)event;
  HANDLE thread = CreateThread(NULL, 0, run_step, parameter, 0, NULL);
  if (!thread) {
    run_step(parameter);  // no thread to spare: on the handler's own
    return;
  }
  if (WaitForSingleObject(thread, HANDLER_WAIT_MS) != WAIT_OBJECT_0 && settle(event, kAbandoned) &&
      kind == kSuspend)
    report_disarm_failed(ERROR_TIMEOUT);
  CloseHandle(thread);
}

void power_suspend_query(void) { run_bounded(kSuspendQuery); }

void power_suspend(void) {
  // Held even before a session is open, and while the worker's call holds
  // the session, so that no reset can start the timer just before the
  // system sleeps.
  hold_raise();
  health_pause();
  run_bounded(kSuspend);
}

void power_resume(void) {
  run_bounded(kResume);
  health_resume();
}
