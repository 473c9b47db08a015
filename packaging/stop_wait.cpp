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
#include "packaging/msi_log.h"
#include "service/state.h"
#include "watchdog/left_timer.h"

namespace {

constexpr char kServiceName[] = SERVICE_NAME;
// As long as -remove waits for a stopping service: 60 s.
constexpr DWORD kStopWaitMs = 60000;
constexpr DWORD kPollMs = 100;

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
  if (status.dwCurrentState != SERVICE_STOPPED) {
    SERVICE_STATUS ignored;
    ControlService(service, SERVICE_CONTROL_STOP, &ignored);  // may be stopping already
    while (GetTickCount() - start < kStopWaitMs && query(service, &status) &&
           status.dwCurrentState != SERVICE_STOPPED) {
      Sleep(kPollMs);
    }
    // As -remove says it: a stop with a non-zero exit code may have left the
    // timer armed (a disable the BMC kept refusing).
    if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != 0) {
      char text[256];
      std::snprintf(line, sizeof line, STOPPED_BUT_ARMED_FORMAT, SERVICE_DISPLAY_NAME,
                    format_exit_code(status.dwWin32ExitCode, text, sizeof text));
      line[std::strcspn(line, "\n")] = '\0';
      log_line(install, line);
    }
  }
  bool ended = true;
  if (process) {
    const DWORD spent = GetTickCount() - start;
    ended = WaitForSingleObject(process, spent < kStopWaitMs ? kStopWaitMs - spent : 0) ==
            WAIT_OBJECT_0;
    CloseHandle(process);
  }
  std::snprintf(line, sizeof line,
                "StopServiceAndWait: vyrq4asr state %lu, process %s, after %lu ms",
                status.dwCurrentState, ended ? "ended" : "still running", GetTickCount() - start);
  log_line(install, line);
  if (status.dwCurrentState == SERVICE_STOPPED && ended) disarm_timer_left(install);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ERROR_SUCCESS;  // after 60 s the installation goes ahead, as -remove's delete does
}
