// The package's custom action ConfigureService, deferred, right after
// InstallServices: what the ServiceInstall table cannot say. It registers the
// recovery actions as -install does (the MSIServiceConfigFailureActions table
// needs Windows Installer 5.0) and writes SHUTDOWNALLOWANCE, when given and
// usable, as the service's ShutdownAllowance, and the health checks'
// properties (HEALTHFOLDER, ...) as the values of the same names, all of them
// or, when one is not usable, none. Its CustomActionData is
// "[SHUTDOWNALLOWANCE];[TIMEOUT]" then "|Name=[NAME]" for each health value
// (post_wixl.sql). Whatever fails is said in the installation log and the
// installation goes on: the service runs without it, with its default
// allowance and without health checks.
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
#include "health/checks.h"
#include "health/settings.h"
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

// The health values in the data's order: the three texts, then the numbers.
constexpr int kHealthTexts = 3;
constexpr int kHealthValues = kHealthTexts + kHealthNumbers;
const char* health_name(int i) {
  static const char* const texts[kHealthTexts] = {HEALTH_FOLDER_VALUE, HEALTH_COMMAND_VALUE,
                                                  REPAIR_COMMAND_VALUE};
  return i < kHealthTexts ? texts[i] : kHealthNumberSettings[i - kHealthTexts].value;
}

// Why a property's text is not usable, or null when it is.
const char* health_text_fault(int i, char* value) {
  if (i == 0) {
    for (char* folder = value; folder;) {
      char* next = std::strchr(folder, ';');
      if (next) *next++ = '\0';
      folder += std::strspn(folder, " ");
      if (*folder && !health_folder_usable(folder))
        return "it takes full paths of folders, separated by ';'";
      folder = next;
    }
    return nullptr;
  }
  char program[HEALTH_COMMAND_MAX];
  if (!health_command_program(value, program, sizeof program))
    return "its program must be named by a full path, quoted when it has spaces";
  return nullptr;
}

bool health_usable(MSIHANDLE install, int i, const char* value, DWORD* number) {
  char line[HEALTH_COMMAND_MAX + 300], copy[HEALTH_COMMAND_MAX * 4];
  const char* fault = nullptr;
  if (std::strlen(value) >= (i == 0 ? sizeof copy : HEALTH_COMMAND_MAX)) {
    fault = "it is too long";
  } else if (i < kHealthTexts) {
    std::snprintf(copy, sizeof copy, "%s", value);
    fault = health_text_fault(i, copy);
  } else if (!health_number_usable(static_cast<HealthNumber>(i - kHealthTexts), value, number)) {
    const HealthNumberSetting& setting = kHealthNumberSettings[i - kHealthTexts];
    std::snprintf(copy, sizeof copy, "it takes whole numbers from %lu to %lu %s",
                  static_cast<unsigned long>(setting.lowest),
                  static_cast<unsigned long>(setting.highest), setting.unit);
    fault = copy;
  }
  if (!fault) return true;
  char upper[64];
  std::snprintf(upper, sizeof upper, "%s", health_name(i));
  for (char* c = upper; *c; ++c)
    if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
  std::snprintf(line, sizeof line, "ConfigureService: %s=%s is not usable: %s.", upper, value,
                fault);
  log_line(install, line);
  return false;
}

void remove_health_values(HKEY key) {
  for (int i = 0; i < kHealthValues; ++i) RegDeleteValueA(key, health_name(i));
}

// items: "Name=value" for each health value, each after a '|'.
void write_health(MSIHANDLE install, char* items) {
  const char* value[kHealthValues] = {};
  for (char* item = items; item;) {
    char* next = std::strchr(item, '|');
    if (next) *next++ = '\0';
    char* equals = std::strchr(item, '=');
    int found = -1;
    for (int i = 0; equals && i < kHealthValues; ++i)
      if (std::strncmp(item, health_name(i), equals - item) == 0 &&
          std::strlen(health_name(i)) == static_cast<size_t>(equals - item))
        found = i;
    if (found < 0) {
      log_line(install,
               "ConfigureService: a health property holds '|', which the package cannot pass on. "
               "No health value written; the service runs without health checks.");
      return;
    }
    value[found] = equals + 1;
    item = next;
  }
  DWORD number[kHealthValues] = {};
  bool usable = true, any = false;
  for (int i = 0; i < kHealthValues; ++i) {
    if (!value[i] || *value[i] == '\0') continue;
    any = true;
    usable = health_usable(install, i, value[i], &number[i]) && usable;
  }
  if (!any) return;
  if (!usable) {
    log_line(install,
             "ConfigureService: no health value written; the service runs without health checks.");
    return;
  }
  HKEY key = nullptr;
  LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &key, nullptr);
  for (int i = 0; error == ERROR_SUCCESS && i < kHealthValues; ++i) {
    if (!value[i] || *value[i] == '\0') continue;
    if (i < kHealthTexts)
      error =
          RegSetValueExA(key, health_name(i), 0, REG_SZ, reinterpret_cast<const BYTE*>(value[i]),
                         static_cast<DWORD>(std::strlen(value[i]) + 1));
    else
      error = RegSetValueExA(key, health_name(i), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number[i]), sizeof number[i]);
  }
  char line[400], text[256];
  if (error == ERROR_SUCCESS) {
    log_line(install, "ConfigureService: the health values written under HKLM\\" PARAMETERS_KEY);
  } else {
    // Nothing half done: a service with some of its checks' settings could
    // withhold resets on limits no one chose.
    if (key) remove_health_values(key);
    std::snprintf(line, sizeof line,
                  "ConfigureService: the health values not written - %s; the service runs "
                  "without health checks.",
                  format_system_error(static_cast<DWORD>(error), text, sizeof text));
    log_line(install, line);
  }
  if (key) RegCloseKey(key);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
  set_recovery(install);
  static char data[16384];
  data[0] = '\0';
  DWORD size = sizeof data;
  if (MsiGetPropertyA(install, "CustomActionData", data, &size) != ERROR_SUCCESS) data[0] = '\0';
  char* health = std::strchr(data, '|');
  if (health) *health++ = '\0';
  char* timeout = std::strchr(data, ';');
  if (timeout) *timeout++ = '\0';
  write_allowance(install, data, timeout ? timeout : "");
  if (health) write_health(install, health);
  return ERROR_SUCCESS;
}
