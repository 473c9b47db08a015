// The package's custom action StopServiceAndWait: stops the service
// "vyrq4asr" and waits until its process has ended, before the installer
// deletes the service or removes or replaces VYRIASRW.EXE.
//
// Windows Installer's StopServices waits for the STOPPED report (ServiceControl
// Wait), but the process may still be running for a moment after it, holding
// its file; Wine's msi (8.0) sends the stop control and goes straight on, so
// its RemoveFiles fails with ERROR_ACCESS_DENIED on the running image and a
// CreateService right after a DeleteService can meet the old service. The
// stop itself is what makes the service disarm the BMC's watchdog timer.
#include <windows.h>
// After windows.h, which they need.
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/messages.h"
#include "cli/wait_for_stop.h"
#include "packaging/msi_log.h"
#include "service/names.h"
#include "service/timing.h"
#include "watchdog/left_timer.h"

namespace {

constexpr char kServiceName[] = SERVICE_NAME;

bool query(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                              sizeof(*status), &needed) != 0;
}

// With the service stopped, a timer it left running (its process crashed,
// its disable was refused, it was left for a shutdown) would reset the server
// once nothing feeds it: disarmed as -remove does.
void disarm_timer_left(MSIHANDLE install) {
  DWORD error = 0;
  LeftTimer left = disarm_left_timer(&error);
  char line[200];
  if (left == kLeftTimerDisarmed) {
    log_line(install, "StopServiceAndWait: the timer the service left running is disarmed");
  } else if (left == kLeftTimerFailed) {
    std::snprintf(line, sizeof line,
                  "StopServiceAndWait: the timer the service left running may still be armed "
                  "(error %lu)",
                  error);
    log_line(install, line);
  }
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall StopServiceAndWait(MSIHANDLE install) {
  char line[400];
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::snprintf(line, sizeof line, "StopServiceAndWait: OpenSCManager failed (%lu)",
                  GetLastError());
    log_line(install, line);
    return ERROR_SUCCESS;  // StopServices and DeleteServices still follow
  }
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) {
    log_line(install, "StopServiceAndWait: no service vyrq4asr installed");
    CloseServiceHandle(manager);
    return ERROR_SUCCESS;
  }

  SERVICE_STATUS_PROCESS status = {};
  HANDLE process = nullptr;
  // The process handle is taken before the stop, so that it is this process
  // that is waited for even once its id has been given to another.
  if (query(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
      status.dwProcessId != 0) {
    process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
  }
  const DWORD start = GetTickCount();
  SERVICE_STATUS stop = {};
  stop.dwCurrentState = status.dwCurrentState;
  if (stop.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service, SERVICE_CONTROL_STOP, &stop);  // may be stopping already
    DWORD error = 0;
    wait_for_stop(service, &stop, &error, nullptr);
    // As -remove says it: a stop with a non-zero exit code may have left the
    // timer armed (a disable the BMC kept refusing).
    if (stop.dwCurrentState == SERVICE_STOPPED && stop.dwWin32ExitCode != 0) {
      char text[256];
      std::snprintf(line, sizeof line, STOPPED_BUT_ARMED_FORMAT, SERVICE_DISPLAY_NAME,
                    format_exit_code(stop.dwWin32ExitCode, text, sizeof text));
      line[std::strcspn(line, "\n")] = '\0';
      log_line(install, line);
    }
  }
  bool ended = true;
  if (process) {
    // The process may outlive its STOPPED report for a moment: it gets what
    // is left of the same wait.
    const DWORD spent = GetTickCount() - start;
    ended = WaitForSingleObject(process, spent < REMOVAL_STOP_WAIT_MS ? REMOVAL_STOP_WAIT_MS - spent
                                                                      : 0) == WAIT_OBJECT_0;
    CloseHandle(process);
  }
  std::snprintf(line, sizeof line,
                "StopServiceAndWait: vyrq4asr state %lu, process %s, after %lu ms",
                stop.dwCurrentState, ended ? "ended" : "still running", GetTickCount() - start);
  log_line(install, line);
  if (stop.dwCurrentState == SERVICE_STOPPED && ended) disarm_timer_left(install);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ERROR_SUCCESS;  // after 60 s the installation goes ahead, as -remove's delete does
}
