#include "cli/commands.h"
#include "cli/service_handles.h"
#include "service/status.h"

void query_service(void) {
  SC_HANDLE manager, service;
  if (!open_service(&manager, &service)) return;
  // The service answers by reporting its status again; nothing is printed.
  ControlService(service, SERVICE_CONTROL_INTERROGATE, &status_record);
  close_service(manager, service);
}
