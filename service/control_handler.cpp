#include "service/hooks.h"
#include "service/service_main.h"
#include "service/status.h"
#include "service/stop.h"
#include "service/timing.h"
#include "service/trace.h"

static void power_event(DWORD event_type) {
  switch (event_type) {
    case PBT_APMQUERYSUSPEND:
      // Disarmed already at the query: the suspend notice itself may come too
      // late for a timer that runs out during the sleep. Since the query may
      // be refused and the sleep called off, resets are not held: the
      // worker's next reset starts the timer again.
      trace("Service_ctrl power suspend\n");
      power_suspend_query();
      break;
    case PBT_APMSUSPEND:
      trace("Service_ctrl power suspend\n");
      power_suspend();
      break;
    case PBT_APMRESUMECRITICAL:
    case PBT_APMRESUMESUSPEND:
    case PBT_APMRESUMEAUTOMATIC:
      trace("Service_ctrl power resume\n");
      power_resume();
      break;
    default:
      trace("Service_ctrl power default\n");
      break;
  }
}

DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context) {
  (void)event_data;
  (void)context;
  trace("Service_ctrl entry\n");
  tracef("ctrl entry, code = %x\n", (unsigned)control);
  switch (control) {
    case SERVICE_CONTROL_STOP:
      // STOP_PENDING before the event is set: once it is set, the run routine
      // may report STOPPED at any moment, and this report must not come after
      // it (a service manager would read a stopped service as stopping).
      report_status(SERVICE_STOP_PENDING, 0, 0);
      signal_stop();
      return NO_ERROR;
    case SERVICE_CONTROL_PRESHUTDOWN:
      // Answered at once: the worker leaves the timer armed for the
      // shutdown (never disarmed, so that a hung shutdown is still reset)
      // and reports STOPPED within the bound. The shutdown is taken before
      // the stop is signalled, so that the worker sees both together.
      shutdown_taken();
      report_status(SERVICE_STOP_PENDING, 0, SHUTDOWN_WAIT_HINT_MS);
      signal_stop();
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      power_event(event_type);
      report_current_status();
      return NO_ERROR;
    default:
      report_current_status();
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}
