// The service control manager as the command side sees it: installed
// services, their handles, stop and start, deletion that completes when the
// last handle to a deleted service closes.
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"

namespace fake {
namespace {

std::map<std::string, InstalledService> installed;
// Open service handles, the service each one refers to and its access.
std::map<HANDLE, std::string> service_of;
std::map<HANDLE, DWORD> access_of;
// After a stop: STOP_PENDING answers left before the service is STOPPED.
std::map<std::string, int> pending_left;
// Processes of stopped services that have not ended yet: image path and the
// virtual time at which each ends. They outlive their service's deletion.
std::vector<std::pair<std::string, uint64_t>> ending;

}  // namespace

std::map<std::string, InstalledService> &services() { return installed; }

namespace detail {
void reset_scm_commands() {
  installed.clear();
  service_of.clear();
  access_of.clear();
  pending_left.clear();
  ending.clear();
}

DWORD control_refusal(DWORD control, DWORD state, DWORD accepted);

// The image paths of the services' processes: those of services not stopped,
// and of stopped ones whose process has not ended yet.
std::vector<std::string> running_images() {
  std::vector<std::string> out;
  for (const auto &s : installed)
    if (s.second.state != SERVICE_STOPPED) out.push_back(s.second.image_path);
  for (const auto &e : ending)
    if (fake::now() < e.second) out.push_back(e.first);
  return out;
}
}  // namespace detail
}  // namespace fake

using namespace fake::detail;
using fake::InstalledService;

namespace {

BOOL fail_with(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The service for an open service handle, or null (a violation) when the
// handle is not one.
InstalledService *service_for(const char *call, SC_HANDLE handle, std::string *name) {
  if (!handle_is(handle, "service")) {
    violation("%s on %s, not an open service handle", call, handle_name(handle).c_str());
    return nullptr;
  }
  auto it = fake::service_of.find(handle);
  if (it == fake::service_of.end()) return nullptr;
  auto entry = fake::services().find(it->second);
  if (entry == fake::services().end()) return nullptr;
  *name = it->second;
  return &entry->second;
}

// The controls the service accepts in a state, as its reports say: power
// events while starting, stops too from RUNNING on.
DWORD accepted_in(DWORD state) {
  if (state == SERVICE_STOPPED) return 0;
  if (state == SERVICE_START_PENDING) return SERVICE_ACCEPT_POWEREVENT;
  return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT;
}

void fill_status(const InstalledService &s, LPSERVICE_STATUS status) {
  if (!status) return;
  *status = SERVICE_STATUS{};
  status->dwServiceType = s.service_type;
  status->dwCurrentState = s.state;
  status->dwControlsAccepted = accepted_in(s.state);
  if (s.state == SERVICE_STOPPED) status->dwWin32ExitCode = s.exit_code;
}

void enter_stopped(InstalledService *s) {
  s->state = SERVICE_STOPPED;
  if (s->process_exit_ms > 0)
    fake::ending.push_back({s->image_path, fake::now() + s->process_exit_ms});
}

int handles_to(const std::string &name) {
  int n = 0;
  for (const auto &h : fake::service_of)
    if (h.second == name) n++;
  return n;
}

// A deleted service goes once it is stopped and no handle to it is open.
void complete_deletion(const std::string &name) {
  auto it = fake::services().find(name);
  if (it == fake::services().end() || !it->second.marked_for_delete) return;
  if (it->second.state != SERVICE_STOPPED || handles_to(name) > 0) return;
  fake::services().erase(it);
  fake::pending_left.erase(name);
  log("service %s deleted", name.c_str());
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  if (DWORD e = scripted_failure("OpenSCManagerA")) {
    log("OpenSCManagerA access=0x%x failed=%u", access, e);
    SetLastError(e);
    return nullptr;
  }
  if (machine || database) violation("OpenSCManagerA: only the local active database is modelled");
  SC_HANDLE h = new_handle("scm");
  log("OpenSCManagerA access=0x%x -> %s", access, handle_name(h).c_str());
  return h;
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                                DWORD service_type, DWORD start_type, DWORD error_control,
                                LPCSTR image_path, LPCSTR load_order_group, LPDWORD tag,
                                LPCSTR dependencies, LPCSTR account, LPCSTR password) {
  const char *shown_name = name ? name : "(null)";
  const char *shown_path = image_path ? image_path : "(null)";
  if (DWORD e = scripted_failure("CreateServiceA")) {
    log("CreateServiceA %s [%s] failed=%u", shown_name, shown_path, e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  DWORD error = 0;
  if (!handle_is(manager, "scm")) {
    violation("CreateServiceA on %s, not an open manager handle", handle_name(manager).c_str());
    error = ERROR_INVALID_HANDLE;
  } else if (!name || !*name || !image_path || !*image_path) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    auto it = fake::services().find(name);
    if (it != fake::services().end())
      error = it->second.marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  }
  if (error) {
    log("CreateServiceA %s [%s] failed=%u", shown_name, shown_path, error);
    SetLastError(error);
    return nullptr;
  }
  InstalledService s;
  s.display_name = display_name ? display_name : "";
  s.image_path = image_path;
  s.access = access;
  s.service_type = service_type;
  s.start_type = start_type;
  s.error_control = error_control;
  // An empty list is one empty string closed by a second NUL.
  s.dependencies_empty = dependencies && dependencies[0] == '\0' && dependencies[1] == '\0';
  s.account_null = !account;
  s.password_null = !password;
  s.group_null = !load_order_group;
  s.tag_null = !tag;
  fake::services()[name] = s;
  SC_HANDLE h = new_handle("service");
  fake::service_of[h] = name;
  fake::access_of[h] = access;
  log("CreateServiceA %s [%s] -> %s", name, image_path, handle_name(h).c_str());
  return h;
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  const char *shown_name = name ? name : "(null)";
  if (DWORD e = scripted_failure("OpenServiceA")) {
    log("OpenServiceA %s access=0x%x failed=%u", shown_name, access, e);
    SetLastError(e);
    return nullptr;
  }
  WorldLock lock;
  DWORD error = 0;
  if (!handle_is(manager, "scm")) {
    violation("OpenServiceA on %s, not an open manager handle", handle_name(manager).c_str());
    error = ERROR_INVALID_HANDLE;
  } else if (!name || fake::services().find(name) == fake::services().end()) {
    error = ERROR_SERVICE_DOES_NOT_EXIST;
  }
  if (error) {
    log("OpenServiceA %s access=0x%x failed=%u", shown_name, access, error);
    SetLastError(error);
    return nullptr;
  }
  SC_HANDLE h = new_handle("service");
  fake::service_of[h] = name;
  fake::access_of[h] = access;
  log("OpenServiceA %s access=0x%x -> %s", name, access, handle_name(h).c_str());
  return h;
}

BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv) {
  if (DWORD e = scripted_failure("StartServiceA")) {
    log("StartServiceA %s argc=%u failed=%u", handle_name(service).c_str(), argc, e);
    return fail_with(e);
  }
  (void)argv;
  WorldLock lock;
  std::string name;
  InstalledService *s = service_for("StartServiceA", service, &name);
  DWORD error = 0;
  if (!s) {
    error = ERROR_INVALID_HANDLE;
  } else if (s->marked_for_delete) {
    error = ERROR_SERVICE_MARKED_FOR_DELETE;
  } else if (s->state != SERVICE_STOPPED) {
    error = ERROR_SERVICE_ALREADY_RUNNING;
  } else if (!image_file_exists(s->image_path)) {
    error = ERROR_FILE_NOT_FOUND;
  }
  if (error) {
    log("StartServiceA %s argc=%u failed=%u", handle_name(service).c_str(), argc, error);
    return fail_with(error);
  }
  s->state = SERVICE_RUNNING;
  log("StartServiceA %s argc=%u", name.c_str(), argc);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  if (DWORD e = scripted_failure("ControlService")) {
    log("ControlService %s %u failed=%u", handle_name(service).c_str(), control, e);
    return fail_with(e);
  }
  WorldLock lock;
  std::string name;
  InstalledService *s = service_for("ControlService", service, &name);
  DWORD error = 0;
  if (!s) {
    error = ERROR_INVALID_HANDLE;
  } else if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    error = control_refusal(control, s->state, accepted_in(s->state));
  }
  if (error) {
    // For these refusals the manager still hands back the last status.
    if (s && error != ERROR_INVALID_PARAMETER) fill_status(*s, status);
    log("ControlService %s %u failed=%u", handle_name(service).c_str(), control, error);
    return fail_with(error);
  }
  if (control == SERVICE_CONTROL_STOP) {
    if (s->stop_pending_queries > 0) {
      s->state = SERVICE_STOP_PENDING;
      fake::pending_left[name] = s->stop_pending_queries;
    } else {
      enter_stopped(s);
    }
  }
  fill_status(*s, status);
  log("ControlService %s %u -> state=%u", name.c_str(), control, s->state);
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (DWORD e = scripted_failure("QueryServiceStatus")) {
    log("QueryServiceStatus %s failed=%u", handle_name(service).c_str(), e);
    return fail_with(e);
  }
  WorldLock lock;
  std::string name;
  InstalledService *s = service_for("QueryServiceStatus", service, &name);
  if (!s) {
    log("QueryServiceStatus %s failed=%u", handle_name(service).c_str(), ERROR_INVALID_HANDLE);
    return fail_with(ERROR_INVALID_HANDLE);
  }
  if (s->state == SERVICE_STOP_PENDING) {
    if (fake::pending_left[name] > 0) {
      fake::pending_left[name]--;
    } else {
      enter_stopped(s);
    }
  }
  fill_status(*s, status);
  log("QueryServiceStatus %s -> state=%u", name.c_str(), s->state);
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
  if (DWORD e = scripted_failure("DeleteService")) {
    log("DeleteService %s failed=%u", handle_name(service).c_str(), e);
    return fail_with(e);
  }
  WorldLock lock;
  std::string name;
  InstalledService *s = service_for("DeleteService", service, &name);
  DWORD error = !s                     ? ERROR_INVALID_HANDLE
                : s->marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                       : 0;
  if (error) {
    log("DeleteService %s failed=%u", handle_name(service).c_str(), error);
    return fail_with(error);
  }
  s->marked_for_delete = true;
  log("DeleteService %s", name.c_str());
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  std::string shown = handle_name(handle);
  if (DWORD e = scripted_failure("CloseServiceHandle")) {
    log("CloseServiceHandle %s failed=%u", shown.c_str(), e);
    return fail_with(e);
  }
  WorldLock lock;
  std::string kind = handle_kind(handle);
  if (kind != "scm" && kind != "service") {
    violation("CloseServiceHandle on %s, not an open manager or service handle", shown.c_str());
    log("CloseServiceHandle %s failed=%u", shown.c_str(), ERROR_INVALID_HANDLE);
    return fail_with(ERROR_INVALID_HANDLE);
  }
  close_handle(handle, kind.c_str());
  log("CloseServiceHandle %s", shown.c_str());
  auto it = fake::service_of.find(handle);
  if (it != fake::service_of.end()) {
    std::string name = it->second;
    fake::service_of.erase(it);
    fake::access_of.erase(handle);
    complete_deletion(name);
  }
  return TRUE;
}

namespace {

// Why Windows would refuse these failure actions on a handle with this access, or 0.
DWORD failure_actions_refusal(const SERVICE_FAILURE_ACTIONSA &given, DWORD access) {
  if (!given.lpsaActions) return 0;
  for (DWORD i = 0; i < given.cActions; i++) {
    SC_ACTION_TYPE type = given.lpsaActions[i].Type;
    if (type > SC_ACTION_RUN_COMMAND) return ERROR_INVALID_PARAMETER;
    if (type == SC_ACTION_RESTART && !(access & SERVICE_START)) return ERROR_ACCESS_DENIED;
    if (type == SC_ACTION_REBOOT) return ERROR_PRIVILEGE_NOT_HELD;
  }
  return 0;
}

// A NULL text leaves the stored one as it is; "" deletes it.
void store_text(LPCSTR given, std::string *stored) {
  if (given) *stored = given;
}

}  // namespace

BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, LPVOID info) {
  if (DWORD e = scripted_failure("ChangeServiceConfig2A")) {
    log("ChangeServiceConfig2A %s level=%u failed=%u", handle_name(service).c_str(), info_level, e);
    return fail_with(e);
  }
  WorldLock lock;
  std::string name;
  InstalledService *s = service_for("ChangeServiceConfig2A", service, &name);
  DWORD access = s ? fake::access_of[service] : 0;
  const bool known_level = info_level == SERVICE_CONFIG_DESCRIPTION ||
                           info_level == SERVICE_CONFIG_FAILURE_ACTIONS ||
                           info_level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG ||
                           info_level == SERVICE_CONFIG_PRESHUTDOWN_INFO;
  DWORD error = !s                                  ? ERROR_INVALID_HANDLE
                : !(access & SERVICE_CHANGE_CONFIG) ? ERROR_ACCESS_DENIED
                : s->marked_for_delete              ? ERROR_SERVICE_MARKED_FOR_DELETE
                : !known_level                      ? ERROR_INVALID_LEVEL
                                                    : 0;
  if (!error && info && info_level == SERVICE_CONFIG_FAILURE_ACTIONS)
    error = failure_actions_refusal(*static_cast<SERVICE_FAILURE_ACTIONSA *>(info), access);
  if (error) {
    log("ChangeServiceConfig2A %s level=%u failed=%u", handle_name(service).c_str(), info_level,
        error);
    return fail_with(error);
  }
  if (info && info_level == SERVICE_CONFIG_DESCRIPTION) {
    store_text(static_cast<SERVICE_DESCRIPTIONA *>(info)->lpDescription, &s->description);
  } else if (info && info_level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto &given = *static_cast<SERVICE_FAILURE_ACTIONSA *>(info);
    store_text(given.lpRebootMsg, &s->reboot_message);
    store_text(given.lpCommand, &s->failure_command);
    // No array leaves the actions and the period; an empty one deletes both.
    if (given.lpsaActions) {
      s->failure_actions.assign(given.lpsaActions, given.lpsaActions + given.cActions);
      s->failure_reset_period = given.cActions > 0 ? given.dwResetPeriod : 0;
    }
  } else if (info && info_level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
    s->failure_actions_on_non_crash_failures =
        static_cast<SERVICE_FAILURE_ACTIONS_FLAG *>(info)->fFailureActionsOnNonCrashFailures != 0;
  } else if (info && info_level == SERVICE_CONFIG_PRESHUTDOWN_INFO) {
    s->preshutdown_timeout_ms = static_cast<SERVICE_PRESHUTDOWN_INFO *>(info)->dwPreshutdownTimeout;
  }
  log("ChangeServiceConfig2A %s level=%u", name.c_str(), info_level);
  return TRUE;
}
