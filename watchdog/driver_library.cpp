#include "watchdog/driver_library.h"

#include "qd4/system_folder.h"
#include "service/trace.h"

HMODULE driver_library = NULL;
OpenQD4DriverFn qd4_open = NULL;
CloseQD4DriverFn qd4_close = NULL;
SendQD4RequestFn qd4_send = NULL;
GetQD4VersionFn qd4_version = NULL;

// Status a missing entry answers with: any non-zero value means failure.
#define MISSING_ENTRY_STATUS ERROR_PROC_NOT_FOUND

BOOL load_driver_library(void) {
  // Never the search order: a vyrqd4w.dll planted in a PATH folder would run
  // as LocalSystem.
  driver_library = load_from_system_folder(QD4_LIBRARY_NAME);
  if (!driver_library) return FALSE;
  trace("loaded " QD4_LIBRARY_NAME "\n");
  qd4_open = (OpenQD4DriverFn)(void *)GetProcAddress(driver_library, QD4_OPEN_NAME);
  if (!qd4_open) trace(QD4_LIBRARY_NAME " entry point was NULL\n");
  qd4_close = (CloseQD4DriverFn)(void *)GetProcAddress(driver_library, QD4_CLOSE_NAME);
  qd4_send = (SendQD4RequestFn)(void *)GetProcAddress(driver_library, QD4_SEND_NAME);
  qd4_version = (GetQD4VersionFn)(void *)GetProcAddress(driver_library, QD4_VERSION_NAME);
  return TRUE;
}

void unload_driver_library(void) {
  if (!driver_library) return;
  FreeLibrary(driver_library);
  driver_library = NULL;
  qd4_open = NULL;
  qd4_close = NULL;
  qd4_send = NULL;
  qd4_version = NULL;
}

DWORD driver_open(WatchdogSession *session) {
  if (!qd4_open) return MISSING_ENTRY_STATUS;
  return qd4_open(session, 0);
}

// Without a close entry there is nothing to call: the close is skipped.
DWORD driver_close(WatchdogSession session) {
  if (!qd4_close) return 0;
  return qd4_close(session, 0);
}
