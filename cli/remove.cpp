#include "cli/commands.h"
#include "cli/messages.h"
#include "cli/service_handles.h"
#include "cli/wait_for_stop.h"
#include "service/names.h"
#include "service/status.h"
#include "watchdog/left_timer.h"

static void say_dot(void) { say("."); }

static void stop_and_say(SC_HANDLE service) {
  say("Stopping %s.", SERVICE_DISPLAY_NAME);
  wait_for_stop(service, &status_record, &saved_error, say_dot);
  // A failed last query leaves an older state in the record: no line then.
  if (status_record.dwCurrentState != SERVICE_STOPPED) return;
  say("\n%s stopped.\n", SERVICE_DISPLAY_NAME);
  // The service stops with a non-zero code when its disable was refused, or
  // when it did not finish in order: the BMC may still count down.
  if (status_record.dwWin32ExitCode != 0) {
    saved_error = status_record.dwWin32ExitCode;
    say(STOPPED_BUT_ARMED_FORMAT, SERVICE_DISPLAY_NAME,
        format_exit_code(saved_error, error_text, sizeof error_text));
  }
}

// With the service stopped, a timer it left running (its process crashed or
// was ended, its disable was refused, it was left for a shutdown) would reset
// the server: disarmed here, and said.
static void disarm_timer_left(void) {
  DWORD error = 0;
  switch (disarm_left_timer(&error)) {
    case kLeftTimerDisarmed:
      say("The timer that %s left running is disarmed.\n", SERVICE_DISPLAY_NAME);
      break;
    case kLeftTimerFailed:
      saved_error = error;
      say("The timer that %s left running may still be armed - %s\n", SERVICE_DISPLAY_NAME,
          format_system_error(saved_error, error_text, sizeof error_text));
      break;
    default:
      break;
  }
}

void remove_service(void) {
  SC_HANDLE manager, service;
  if (!open_service(&manager, &service)) return;

  // A service that is not running refuses the stop; there is nothing to wait for.
  bool stopped;
  if (ControlService(service, SERVICE_CONTROL_STOP, &status_record)) {
    stop_and_say(service);
    stopped = status_record.dwCurrentState == SERVICE_STOPPED;
  } else {
    saved_error = GetLastError();
    stopped = saved_error == ERROR_SERVICE_NOT_ACTIVE;
  }
  if (stopped) disarm_timer_left();

  if (DeleteService(service)) {
    say("%s removed.\n", SERVICE_DISPLAY_NAME);
  } else {
    say_failure("DeleteService failed - %s\n");
  }
  close_service(manager, service);
}
