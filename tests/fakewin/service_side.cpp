// The service control manager as the service sees it: the dispatcher, the
// control handler's registration and status reports.
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "internal.h"

namespace fake {
namespace detail {

void start_thread(const std::string &name, std::function<DWORD()> body);
bool wait_until(uint64_t deadline, const char *what, const std::function<bool()> &ready);
void notify_change();

namespace {

struct Control {
  uint64_t at_ms;
  DWORD control, event_type;
};

bool started_by_scm = true;
LPHANDLER_FUNCTION_EX handler = nullptr;
LPVOID handler_context = nullptr;
SERVICE_STATUS_HANDLE registered = nullptr;
// Read by the dispatcher's wait condition, which runs under the scheduler's
// lock and so must not take world().
std::atomic<bool> stopped{false};
std::atomic<bool> service_thread_done{false};
std::atomic<uint64_t> first_control_at{UINT64_MAX};
std::deque<Control> controls;
std::vector<DWORD> results;
std::vector<SERVICE_STATUS> reports;
char service_name_arg[] = "vyrq4asr";

const DWORD INVALID_DATA = 13;               // ERROR_INVALID_DATA
const DWORD INVALID_SERVICE_CONTROL = 1052;  // ERROR_INVALID_SERVICE_CONTROL

// The controls-accepted bit that lets the service manager pass a control on;
// 0 for controls that need none (interrogate, user-defined 128..255).
DWORD accept_bit(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return 0x02;  // SERVICE_ACCEPT_PAUSE_CONTINUE
    case SERVICE_CONTROL_SHUTDOWN:
      return SERVICE_ACCEPT_SHUTDOWN;
    case 6:  // SERVICE_CONTROL_PARAMCHANGE
      return 0x08;
    case 7:
    case 8:
    case 9:
    case 10:  // the NETBIND controls
      return 0x10;
    case 12:  // SERVICE_CONTROL_HARDWAREPROFILECHANGE
      return 0x20;
    case SERVICE_CONTROL_POWEREVENT:
      return SERVICE_ACCEPT_POWEREVENT;
    case 14:  // SERVICE_CONTROL_SESSIONCHANGE
      return 0x80;
    case 15:  // SERVICE_CONTROL_PRESHUTDOWN
      return 0x100;
    default:
      return 0;
  }
}

}  // namespace

// What the service manager answers instead of passing a control to a service
// whose last report carried this state and these accepted controls; 0 when it
// passes the control on. As ControlService's documentation lays it out: a
// stopped service gets nothing (1062); a stopping one nothing either, not even
// an interrogate (1061); a starting one only a stop, and only once it accepts
// stops (1061); a running one every control it accepts, and an interrogate
// always (else 1052).
DWORD control_refusal(DWORD control, DWORD state, DWORD accepted) {
  if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (state == SERVICE_STOP_PENDING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (state == SERVICE_START_PENDING)
    return control == SERVICE_CONTROL_STOP && (accepted & SERVICE_ACCEPT_STOP)
               ? 0
               : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD bit = accept_bit(control);
  return bit == 0 || (accepted & bit) ? 0 : INVALID_SERVICE_CONTROL;
}

void reset_service_side() {
  started_by_scm = true;
  handler = nullptr;
  handler_context = nullptr;
  registered = nullptr;
  stopped = false;
  service_thread_done = false;
  controls.clear();
  first_control_at = UINT64_MAX;
  results.clear();
  reports.clear();
}

}  // namespace detail

using namespace detail;

void set_started_by_scm(bool started) {
  WorldLock lock;
  started_by_scm = started;
}

void send_control(uint64_t at_ms, DWORD control, DWORD event_type) {
  {
    WorldLock lock;
    auto it = controls.begin();
    while (it != controls.end() && it->at_ms <= at_ms) ++it;
    controls.insert(it, Control{at_ms, control, event_type});
    first_control_at = controls.front().at_ms;
  }
  notify_change();
}

std::vector<DWORD> control_results() {
  WorldLock lock;
  return results;
}

std::vector<SERVICE_STATUS> status_reports() {
  WorldLock lock;
  return reports;
}

}  // namespace fake

using namespace fake::detail;

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table) {
  if (DWORD e = scripted_failure("StartServiceCtrlDispatcherA")) {
    log("StartServiceCtrlDispatcherA failed=%u", e);
    SetLastError(e);
    return FALSE;
  }
  bool from_scm;
  {
    WorldLock lock;
    from_scm = started_by_scm;
  }
  if (!from_scm) {
    log("StartServiceCtrlDispatcherA failed=%u", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (!table || !table[0].lpServiceName || strcmp(table[0].lpServiceName, "vyrq4asr") != 0 ||
      !table[0].lpServiceProc || table[1].lpServiceName || table[1].lpServiceProc) {
    violation("the service table is not {\"vyrq4asr\", entry}, {null, null}");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  log("StartServiceCtrlDispatcherA %s", table[0].lpServiceName);
  LPSERVICE_MAIN_FUNCTIONA entry = table[0].lpServiceProc;
  start_thread("service", [entry]() -> DWORD {
    LPSTR argv[] = {service_name_arg, nullptr};
    entry(1, argv);
    happens_before(&stopped);
    service_thread_done = true;
    notify_change();
    return 0;
  });
  // The main thread serves controls until the service has reported STOPPED
  // (or its thread ended without doing so).
  for (;;) {
    uint64_t next = first_control_at;
    bool due = false;
    wait_until(next, "the dispatcher",
               [&] { return stopped || service_thread_done || first_control_at != next; });
    Control c{};
    LPHANDLER_FUNCTION_EX h;
    LPVOID ctx;
    DWORD refusal = 0;
    {
      WorldLock lock;
      if (stopped || service_thread_done) break;
      if (!controls.empty() && controls.front().at_ms <= fake::now()) {
        c = controls.front();
        controls.pop_front();
        first_control_at = controls.empty() ? UINT64_MAX : controls.front().at_ms;
        due = true;
      }
      h = handler;
      ctx = handler_context;
      // Until its first report the manager holds the service as starting.
      DWORD state = reports.empty() ? SERVICE_START_PENDING : reports.back().dwCurrentState;
      DWORD accepted = reports.empty() ? 0 : reports.back().dwControlsAccepted;
      if (due) refusal = control_refusal(c.control, state, accepted);
    }
    if (!due) continue;
    if (!h) {
      log("control %u type=%u dropped: no handler", c.control, c.event_type);
      continue;
    }
    if (refusal) {
      log("control %u type=%u refused=%u", c.control, c.event_type, refusal);
      continue;
    }
    // The service manager delivers controls only after the registration.
    happens_after(&handler);
    uint64_t called_at = fake::now();
    DWORD r = h(c.control, c.event_type, nullptr, ctx);
    log("control %u type=%u -> %u", c.control, c.event_type, r);
    // HandlerEx's documentation: a handler must return within 30 s, and the
    // service manager holds other services' controls while it waits.
    if (fake::now() - called_at > 30000)
      violation("control %u took %llu ms; a handler has 30 s", c.control,
                static_cast<unsigned long long>(fake::now() - called_at));
    WorldLock lock;
    results.push_back(r);
  }
  happens_after(&stopped);
  log("StartServiceCtrlDispatcherA returns");
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX fn,
                                                           LPVOID context) {
  if (DWORD e = scripted_failure("RegisterServiceCtrlHandlerExA")) {
    log("RegisterServiceCtrlHandlerExA %s failed=%u", name ? name : "null", e);
    SetLastError(e);
    return nullptr;
  }
  if (!name || strcmp(name, "vyrq4asr") != 0) {
    log("RegisterServiceCtrlHandlerExA %s failed=%u", name ? name : "null",
        ERROR_SERVICE_DOES_NOT_EXIST);
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  happens_before(&handler);
  WorldLock lock;
  handler = fn;
  handler_context = context;
  registered = new_handle("status");
  log("RegisterServiceCtrlHandlerExA %s context=%s", name, context ? "given" : "null");
  return registered;
}

namespace {
// The manager refuses a record whose state is none of the seven, or whose type
// is not a Win32 service's (own or shared process, perhaps interactive).
bool valid_record(const SERVICE_STATUS &s) {
  DWORD type = s.dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  bool win32 = type == SERVICE_WIN32_OWN_PROCESS || type == 0x20 || type == 0x50 || type == 0x60;
  return win32 && s.dwCurrentState >= SERVICE_STOPPED && s.dwCurrentState <= 7;
}
}  // namespace

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s) {
  char fields[200];
  snprintf(fields, sizeof fields,
           "type=0x%x state=%u accept=0x%x win32=0x%x specific=0x%x checkpoint=%u hint=%u",
           s->dwServiceType, s->dwCurrentState, s->dwControlsAccepted, s->dwWin32ExitCode,
           s->dwServiceSpecificExitCode, s->dwCheckPoint, s->dwWaitHint);
  if (DWORD e = scripted_failure("SetServiceStatus")) {
    log("SetServiceStatus %s failed=%u", fields, e);
    SetLastError(e);
    return FALSE;
  }
  {
    WorldLock lock;
    if (!handle || handle != registered) {
      log("SetServiceStatus %s failed=%u", fields, ERROR_INVALID_HANDLE);
      violation("SetServiceStatus with a handle that was not registered");
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!valid_record(*s)) {
      log("SetServiceStatus %s failed=%u", fields, INVALID_DATA);
      SetLastError(INVALID_DATA);
      return FALSE;
    }
    if (stopped) violation("SetServiceStatus after STOPPED: %s", fields);
    log("SetServiceStatus %s", fields);
    reports.push_back(*s);
    if (s->dwCurrentState == SERVICE_STOPPED) stopped = true;
  }
  if (s->dwCurrentState == SERVICE_STOPPED) happens_before(&stopped);
  notify_change();
  return TRUE;
}
