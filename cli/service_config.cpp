#include "cli/service_config.h"

#include "service/timing.h"

BOOL set_description_and_recovery(SC_HANDLE service) {
  char description[] = SERVICE_DESCRIPTION_TEXT;
  SERVICE_DESCRIPTIONA described = {description};
  BOOL ok = ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &described);
  DWORD first_error = ok ? ERROR_SUCCESS : GetLastError();

  SC_ACTION actions[] = {{SC_ACTION_RESTART, RESTART_FIRST_DELAY_MS},
                         {SC_ACTION_RESTART, RESTART_LATER_DELAY_MS}};
  // Empty texts: no message before a reboot, no command to run.
  char none[] = "";
  SERVICE_FAILURE_ACTIONSA recovery = {FAILURE_RESET_PERIOD_S, none, none,
                                       sizeof actions / sizeof actions[0], actions};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery) && ok) {
    ok = FALSE;
    first_error = GetLastError();
  }
  if (!ok) SetLastError(first_error);
  return ok;
}
