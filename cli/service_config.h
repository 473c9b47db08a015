// The service's description and recovery actions, as -install and the
// package's custom action both register them (the package's build reads the
// description from here for its ServiceInstall row).
#pragma once

#include <windows.h>

// Shown by the Services console. The package's build reads it from here:
// string pieces only, no other macro in it.
#define SERVICE_DESCRIPTION_TEXT                                                                 \
  "Arms the IPMI BMC's watchdog timer and restarts its countdown every 10 seconds, so that the " \
  "BMC resets the server when Windows or this service hangs. Stopping the service disarms the "  \
  "timer."

// Registers the description, then the recovery actions: a crashed service is
// restarted (RESTART_FIRST_DELAY_MS, then RESTART_LATER_DELAY_MS, the service
// manager repeating the last action; FAILURE_RESET_PERIOD_S). A stop the
// service reports itself, with its error exit code (another agent's timer, a
// BMC gone), is no crash and is never restarted: the non-crash-failures flag
// is left FALSE. service needs SERVICE_CHANGE_CONFIG and, for the restart
// actions, SERVICE_START access. FALSE with the last error of the first call
// that failed; the other is still tried.
BOOL set_description_and_recovery(SC_HANDLE service);
