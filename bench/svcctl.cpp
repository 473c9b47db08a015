// Starts and stops the service on request from standard input, one line per
// request ("start", "stop", "quit"), answering "ok <request> <result>" on
// standard output. It stays running, so that the benchmark's clock reads the
// moment a request is made rather than the seconds a new Wine process takes
// to come up.
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(void) {
  setvbuf(stdout, NULL, _IONBF, 0);
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    printf("error OpenSCManager %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, "vyrq4asr", SERVICE_ALL_ACCESS);
  if (!service) {
    printf("error OpenService %lu\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  printf("ready\n");
  char line[64];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strcmp(line, "quit") == 0) break;
    BOOL ok = FALSE;
    if (strcmp(line, "start") == 0) {
      ok = StartServiceA(service, 0, NULL);
    } else if (strcmp(line, "stop") == 0) {
      SERVICE_STATUS status;
      ok = ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    printf("ok %s %d %lu\n", line, ok ? 1 : 0, ok ? 0ul : GetLastError());
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}
