// The package's custom action ConfigureService, deferred, right after
// InstallServices: what the ServiceInstall table cannot say. It registers the
// recovery actions as -install does (the MSIServiceConfigFailureActions table
// needs Windows Installer 5.0) and writes SHUTDOWNALLOWANCE, when given and
// usable, as the service's ShutdownAllowance. Its CustomActionData is
// "[SHUTDOWNALLOWANCE];[TIMEOUT]" (post_wixl.sql). Whatever fails is said in
// the installation log and the installation goes on: the service runs without
// it, with its default allowance.
#include <windows.h>
// After windows.h, which they need.
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/commands.h"
#include "cli/service_config.h"
#include "cli/timeout_argument.h"
#include "packaging/msi_log.h"
#include "service/parameters.h"

namespace {

// Digits only, nine at most: no sign, blank or suffix slips through.
bool whole_seconds(const char* text, DWORD* seconds) {
  size_t length = std::strlen(text);
  if (length == 0 || length > 9 || std::strspn(text, "0123456789") != length) return false;
  *seconds = static_cast<DWORD>(std::strtoul(text, nullptr, 10));
  return true;
}

void set_recovery(MSIHANDLE install) {
  char line[400], text[256];
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceA(manager, SERVICE_NAME, SERVICE_CHANGE_CONFIG | SERVICE_START)
              : nullptr;
  if (service && set_description_and_recovery(service)) {
    log_line(install, "ConfigureService: description and recovery actions registered");
  } else {
    std::snprintf(line, sizeof line, "ConfigureService: ChangeServiceConfig2 failed - %s",
                  format_system_error(GetLastError(), text, sizeof text));
    log_line(install, line);
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

void write_allowance(MSIHANDLE install, const char* allowance, const char* timeout) {
  char line[600], text[256];
  if (*allowance == '\0') return;  // unset: the service's default
  DWORD lowest = timeout_from_argument(*timeout != '\0' ? timeout : nullptr);
  DWORD seconds = 0;
  if (!whole_seconds(allowance, &seconds) || seconds < lowest ||
      seconds > SHUTDOWN_ALLOWANCE_MAX_S) {
    std::snprintf(line, sizeof line,
                  "ConfigureService: SHUTDOWNALLOWANCE=%s is not usable: it takes whole seconds "
                  "from %lu (the service's timeout) to %d. " SHUTDOWN_ALLOWANCE_VALUE
                  " not written; the service uses its default, %d s.",
                  allowance, lowest, SHUTDOWN_ALLOWANCE_MAX_S, SHUTDOWN_ALLOWANCE_DEFAULT_S);
    log_line(install, line);
    return;
  }
  HKEY key = nullptr;
  LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &key, nullptr);
  if (error == ERROR_SUCCESS) {
    error = RegSetValueExA(key, SHUTDOWN_ALLOWANCE_VALUE, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&seconds), sizeof seconds);
    RegCloseKey(key);
  }
  if (error == ERROR_SUCCESS) {
    std::snprintf(line, sizeof line,
                  "ConfigureService: " SHUTDOWN_ALLOWANCE_VALUE
                  " = %lu s under HKLM\\" PARAMETERS_KEY,
                  seconds);
  } else {
    std::snprintf(line, sizeof line,
                  "ConfigureService: " SHUTDOWN_ALLOWANCE_VALUE " not written - %s",
                  format_system_error(static_cast<DWORD>(error), text, sizeof text));
  }
  log_line(install, line);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
  set_recovery(install);
  char data[64] = "";
  DWORD size = sizeof data;
  if (MsiGetPropertyA(install, "CustomActionData", data, &size) != ERROR_SUCCESS) data[0] = '\0';
  char* timeout = std::strchr(data, ';');
  if (timeout) *timeout++ = '\0';
  write_allowance(install, data, timeout ? timeout : "");
  return ERROR_SUCCESS;
}
