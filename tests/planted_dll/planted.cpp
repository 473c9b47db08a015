// A planted "vyrqd4w.dll", a test vehicle: it only records that a process
// loaded it, one line per load in planted_loads.txt beside it (this copy's
// path, then the loading program's), so that the end-to-end tests can show
// that neither the service nor the installer ever loads a vyrqd4w.dll lying
// outside the system folder. It has no entries.
#include <windows.h>

#include <string.h>

static void record_load(HINSTANCE self) {
  char dll[MAX_PATH], program[MAX_PATH], log_path[MAX_PATH + 32];
  DWORD n = GetModuleFileNameA(self, dll, sizeof dll);
  if (n == 0 || n >= sizeof dll || GetModuleFileNameA(NULL, program, sizeof program) == 0) return;
  memcpy(log_path, dll, n + 1);
  char *slash = strrchr(log_path, '\\');
  strcpy(slash ? slash + 1 : log_path, "planted_loads.txt");
  HANDLE file = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(file, dll, (DWORD)strlen(dll), &written, NULL);
  WriteFile(file, " loaded by ", 11, &written, NULL);
  WriteFile(file, program, (DWORD)strlen(program), &written, NULL);
  WriteFile(file, "\r\n", 2, &written, NULL);
  CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) record_load(self);
  return TRUE;
}
