#include "service/events.h"
#include "service/hooks.h"
#include "service/status.h"
#include "service/stop.h"
#include "service/timing.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/worker.h"

// Waits for the stop event. A failed wait is retried after a pause rather
// than at once: the process may run at real-time priority.
static void wait_for_stop(HANDLE event) {
  while (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) Sleep(WORKER_POLL_MS);
}

static void wait_for_worker(void) {
  DWORD limit = WORKER_WAIT_MS;
  for (DWORD waited = 0; worker_finished == 0;) {
    // A worker seen holding its session is disarming the timer (or finishing
    // the call it was in): it keeps the longer wait to its end.
    if (watchdog_session != 0) limit = STOP_WAIT_LIMIT_MS;
    if (waited >= limit) return;
    Sleep(WORKER_POLL_MS);
    waited += WORKER_POLL_MS;
    if (limit == STOP_WAIT_LIMIT_MS && waited % STOP_REPORT_EVERY_MS == 0 && worker_finished == 0)
      report_status(SERVICE_STOP_PENDING, 0, STOP_WAIT_HINT_MS);
  }
}

static BOOL thread_has_ended(HANDLE thread) {
  return thread == NULL || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

void run_service(DWORD argc, LPSTR *argv) {
  (void)argc;
  (void)argv;
  if (!report_status(SERVICE_START_PENDING, 0, START_WAIT_HINT_MS)) return;
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!event) return;
  stop_event = event;

  BOOL worker_done = TRUE;
  if (report_status(SERVICE_START_PENDING, 0, START_WAIT_HINT_MS) &&
      report_status(SERVICE_RUNNING, 0, 0)) {
    trace("Starting thread 1\n");
    HANDLE thread = CreateThread(NULL, 0, watchdog_worker, &timeout_seconds, 0, NULL);
    trace("started thread 1\n");
    wait_for_stop(event);
    trace("wait for thread to exit\n");
    stop_requested = FLAG_RAISED;
    wait_for_worker();
    // The worker raises worker_finished only after its last report and
    // signal; a worker that neither finished nor ended may still signal.
    worker_done = worker_finished != 0 || thread_has_ended(thread);
    // A worker still in a library call with its session open (a library
    // call that blocks for many seconds) may leave the timer armed when the
    // process ends with the final report: say so.
    if (!worker_done && watchdog_session != 0) {
      SetLastError(ERROR_TIMEOUT);
      report_error_event(
          "VYR IPMI ASR exiting; timer disable failed (no answer within the stop's wait).");
    }
    if (thread) CloseHandle(thread);
  }

  withdraw_stop_event();
  // A worker still running keeps the event: the process ends right after
  // the final report, and closing it could hand its next SetEvent a stale
  // handle.
  if (worker_done) CloseHandle(event);
}
