#include "cli/commands.h"
#include "cli/messages.h"
#include "cli/service_handles.h"
#include "service/state.h"
#include "watchdog/left_timer.h"

// The service disarms and stops within seconds (a busy BMC may hold its
// disable for up to 16 s); one that is still stopping after a minute is hung, and the delete goes
// ahead so that the removal (or the reinstallation it is part of) is not held up for ever.
#define STOP_WAIT_QUERIES 60
#define STOP_POLL_MS 1000

static void wait_for_stop(SC_HANDLE service) {
  say("Stopping %s.", SERVICE_DISPLAY_NAME);
  Sleep(STOP_POLL_MS);
  for (int query = 0; query < STOP_WAIT_QUERIES; query++) {
    if (!QueryServiceStatus(service, &status_record)) {
      saved_error = GetLastError();
      break;
    }
    if (status_record.dwCurrentState != SERVICE_STOP_PENDING) break;
    if (query == STOP_WAIT_QUERIES - 1) break;  // a minute has passed
    say(".");
    Sleep(STOP_POLL_MS);
  }
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
    wait_for_stop(service);
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
