#include "watchdog/power_events.h"

#include <atomic>

#include "service/state.h"
#include "watchdog/commands.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/suspend_hold.h"

enum StepKind { kSuspendQuery, kSuspend, kResume };
enum StepState { kRunning, kDone, kAbandoned };

// Shared by the handler and the step's thread; the last of the two to let go
// frees it.
struct PowerStep {
  StepKind kind;
  unsigned event;
  std::atomic<int> state;
  std::atomic<int> holders;
};

static void let_go(PowerStep *step) {
  if (--step->holders == 0) delete step;
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
  PowerStep *step = (PowerStep *)parameter;
  RequestOutcome outcome;
  int result = 0;
  switch (step->kind) {
    case kSuspendQuery:
      session_suspend_query(step->event);
      break;
    case kSuspend:
      result = session_suspend(step->event, &outcome);
      break;
    case kResume:
      session_resume(step->event);
      break;
  }
  int running = kRunning;
  // A handler that stopped waiting has written the entry already.
  if (step->state.compare_exchange_strong(running, kDone) && result != 0)
    report_disarm_failed(request_error_code(outcome));
  let_go(step);
  return 0;
}

static void run_bounded(StepKind kind) {
  PowerStep *step = new PowerStep{kind, session_power_event_taken(), {kRunning}, {2}};
  HANDLE thread = CreateThread(NULL, 0, run_step, step, 0, NULL);
  if (!thread) {
    run_step(step);  // no thread to spare: on the handler's own
  } else {
    if (WaitForSingleObject(thread, HANDLER_WAIT_MS) != WAIT_OBJECT_0) {
      int running = kRunning;
      if (step->state.compare_exchange_strong(running, kAbandoned) && kind == kSuspend)
        report_disarm_failed(ERROR_TIMEOUT);
    }
    CloseHandle(thread);
  }
  let_go(step);
}

void power_suspend_query(void) { run_bounded(kSuspendQuery); }

void power_suspend(void) {
  // Held even before a session is open, and while the worker's call holds
  // the session, so that no reset can start the timer just before the
  // system sleeps.
  hold_raise();
  run_bounded(kSuspend);
}

void power_resume(void) { run_bounded(kResume); }
