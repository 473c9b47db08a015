#include "qd4/system_folder.h"

#include <string.h>

// Windows 8, and 7 with KB2533623, export SetDefaultDllDirectories; only they
// know the LOAD_LIBRARY_SEARCH flags, which others refuse (87).
#define SEARCH_FLAGS_PROBE "SetDefaultDllDirectories"
#define SEARCH_FLAGS (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)

static BOOL under_wow64(void) {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

UINT get_system_folder(char *buffer, UINT size) {
  if (under_wow64()) return GetSystemWow64DirectoryA(buffer, size);
  return GetSystemDirectoryA(buffer, size);
}

static BOOL search_flags_known(void) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  return kernel32 != NULL && GetProcAddress(kernel32, SEARCH_FLAGS_PROBE) != NULL;
}

bool system_folder_file(const char *file_name, char *path, UINT size) {
  UINT length = get_system_folder(path, size);
  if (length == 0) return false;
  size_t name_length = strlen(file_name);
  // The folder, a backslash, the name and the NUL; a folder too long for the
  // buffer is answered with the size it needs.
  if (length >= size || length + 1 + name_length >= size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  path[length] = '\\';
  memcpy(path + length + 1, file_name, name_length + 1);
  return true;
}

HMODULE load_library_file(const char *full_path) {
  // A full path is loaded from there alone; without the flags its imports
  // follow the standard search.
  if (search_flags_known()) return LoadLibraryExA(full_path, NULL, SEARCH_FLAGS);
  return LoadLibraryA(full_path);
}

// As long as the installer's paths, so that the library can be named in any
// system folder that the executable can be installed into.
#define LIBRARY_PATH_SIZE 520

HMODULE load_from_system_folder(const char *file_name) {
  char path[LIBRARY_PATH_SIZE];
  if (!system_folder_file(file_name, path, sizeof path)) return NULL;
  return load_library_file(path);
}
