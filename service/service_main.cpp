#include "service/service_main.h"

#include "service/events.h"
#include "service/hooks.h"
#include "service/names.h"
#include "service/status.h"
#include "service/stop.h"
#include "service/timing.h"
#include "service/trace.h"

void WINAPI service_main(DWORD argc, LPSTR *argv) {
  trace("Service_Main entry\n");
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(SERVICE_NAME, control_handler, NULL);
  if (handle) {
    status_handle = handle;
    trace("Service_Main : got valid Ctrl handle\n");
    prepare_status_record();
    if (report_status(SERVICE_START_PENDING, 0, START_WAIT_HINT_MS)) run_service(argc, argv);
  }
  trace("Service_Main exiting\n");
  if (worker_finished == 0) {
    trace("Service_Main exiting with stop error\n");
    service_exit_code = STOP_ERROR_EXIT_CODE;
  }
  if (status_handle) report_status(SERVICE_STOPPED, service_exit_code, 0);
}
