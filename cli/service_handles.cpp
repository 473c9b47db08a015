#include "cli/service_handles.h"

#include "cli/messages.h"
#include "service/names.h"

bool open_service(SC_HANDLE *manager, SC_HANDLE *service) {
  *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (*manager == nullptr) {
    say_failure("OpenSCManager failed - %s\n");
    return false;
  }
  *service = OpenServiceA(*manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
  if (*service == nullptr) {
    say_failure("OpenService failed - %s\n");
    CloseServiceHandle(*manager);
    return false;
  }
  return true;
}

void close_service(SC_HANDLE manager, SC_HANDLE service) {
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}
