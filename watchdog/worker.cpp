#include "watchdog/worker.h"

#include "health/monitor.h"
#include "service/events.h"
#include "service/status.h"
#include "service/stop.h"
#include "service/timing.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/driver_library.h"
#include "watchdog/feed_loop.h"
#include "watchdog/pretimeout.h"
#include "watchdog/retry_policy.h"
#include "watchdog/session.h"
#include "watchdog/shutdown.h"
#include "watchdog/timer_at_start.h"

#define WORKER_FAILED ((DWORD)-1)

static void set_priority(DWORD priority_class) {
  SetPriorityClass(GetCurrentProcess(), priority_class);
}

static void close_session(WatchdogSession session) {
  session_withdraw();
  driver_close(session);
  unload_driver_library();
}

// The worker ended on its own: the service stops with the stop error, since
// worker_finished stays 0.
static DWORD failure_tail(void) {
  set_priority(NORMAL_PRIORITY_CLASS);
  report_status(SERVICE_STOP_PENDING, 0, 0);
  signal_stop();
  return WORKER_FAILED;
}

// worker_finished is raised last, so that the run routine can close the stop
// event and the service report STOPPED only after this thread's last report
// and signal.
static DWORD late_exit(void) {
  if (stop_requested == 0) Sleep(LIBRARY_MISSING_DELAY_MS);
  trace("exiting thread\n");
  set_priority(NORMAL_PRIORITY_CLASS);
  report_status(SERVICE_STOP_PENDING, 0, 0);
  signal_stop();
  worker_finished = FLAG_RAISED;
  return 0;
}

DWORD WINAPI watchdog_worker(LPVOID parameter) {
  (void)parameter;  // the commands read timeout_seconds directly
  trace("thread 1 entry\n");
  set_priority(REALTIME_PRIORITY_CLASS);
  // Settled before any enable is sent, the control handler's too.
  pretimeout_start();
  shutdown_allowance_start();

  if (!load_driver_library()) {
    DWORD error = GetLastError();
    trace("open_library failed !\n");
    // Written at once, so that a stop during the delay still finds it; the
    // service then stops with the load's error as its exit code.
    SetLastError(error);
    report_error_event("VYR IPMI ASR exiting; " QD4_LIBRARY_NAME " could not be loaded.");
    return late_exit();
  }

  WatchdogSession session = 0;
  if (driver_open(&session) != 0) {
    trace("Could not open driver\n");
    report_error_event("VYR IPMI ASR exiting; OpenQD4Driver failed.");
    return failure_tail();
  }

  // Published only once the timer is known to be free: until then a power
  // event must neither disable nor enable it (a suspend still raises its hold).
  if (timer_at_start(session) != 0) {
    trace("Another software is owning the watchdog timer!");
    report_error_event("VYR IPMI ASR exiting; timer is not available.");
    close_session(session);
    return failure_tail();
  }
  // A stop that came while starting leaves the timer as it was found.
  if (stop_requested != 0) {
    close_session(session);
    return late_exit();
  }

  RequestOutcome outcome;
  if (session_retrying(pretimeout_enable, kStartRequest, &outcome) != 0) {
    if (stop_requested != 0) {
      close_session(session);
      return late_exit();
    }
    SetLastError(request_error_code(outcome));
    report_error_event("VYR IPMI ASR exiting; timer enable failed.");
    close_session(session);
    return failure_tail();
  }
  report_timer_at_start();
  health_monitor_start(timeout_seconds, pretimeout_in_force());

  DWORD failure_code = 0;
  // A stop seen by now goes straight to the disarm, without a reset.
  int fed = stop_requested == 0 ? feed_loop(&failure_code) : 0;
  // The checks end before the timer is disarmed or left for a shutdown.
  health_monitor_stop();
  if (fed != 0) {
    // Disarm first: the BMC may still be counting down.
    if (session_disable_and_withdraw(kQuickDisable, NULL) != 0)
      trace("reset failed & I couldn't disable WD timer before exit\n");
    else
      trace("reset failed. good, I could disable timer before exit\n");
    SetLastError(failure_code);
    report_error_event("VYR IPMI ASR exiting; timer reset failed.");
    driver_close(session);
    unload_driver_library();
    return failure_tail();
  }

  if (shutdown_requested != 0) {
    // Left armed, so that a hung shutdown is still reset; the next start
    // takes it back.
    shutdown_leave_armed();
    close_session(session);
    return late_exit();
  }

  trace("disabling WD at exit\n");
  if (session_disable_and_withdraw(kStopDisable, &outcome) != 0) {
    trace("I couldn't disable WD timer before normal exit\n");
    // The timer stays armed and will reset the server: say so, and let the
    // exit code say it too.
    SetLastError(request_error_code(outcome));
    report_error_event("VYR IPMI ASR exiting; timer disable failed.");
  }
  if (driver_close(session) != 0) trace("closing the driver failed\n");
  unload_driver_library();
  trace("library is closed, exit\n");
  return late_exit();
}
