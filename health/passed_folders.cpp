#include "health/passed_folders.h"

#include <string.h>

#include "service/parameters.h"

// REG_SZ under SERVICE_OWN_KEY.
#define PASSED_FOLDERS_VALUE "HealthFoldersPassed"

void passed_folders_read(char *list, DWORD size) {
  list[0] = '\0';
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_OWN_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return;
  DWORD type = 0;
  DWORD length = size - 1;
  if (RegQueryValueExA(key, PASSED_FOLDERS_VALUE, nullptr, &type, (LPBYTE)list, &length) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    length = 0;
  list[length < size ? length : size - 1] = '\0';
  RegCloseKey(key);
}

static char folded(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

static bool same_path(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (folded(a[i]) != folded(b[i])) return false;
  return true;
}

bool passed_folders_listed(const char *list, const char *folder) {
  size_t length = strlen(folder);
  for (const char *at = list; *at;) {
    const char *end = strchr(at, ';');
    size_t n = end ? (size_t)(end - at) : strlen(at);
    if (n == length && same_path(at, folder, n)) return true;
    if (!end) break;
    at = end + 1;
  }
  return false;
}

void passed_folders_write(const char *list) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SERVICE_OWN_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExA(key, PASSED_FOLDERS_VALUE, 0, REG_SZ, (const BYTE *)list, (DWORD)strlen(list) + 1);
  RegCloseKey(key);
}
