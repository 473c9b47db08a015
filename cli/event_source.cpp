#include "cli/event_source.h"

#include <string.h>

LONG register_event_source(const char *message_file) {
  HKEY key;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) return result;
  result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE *>(message_file),
                          static_cast<DWORD>(strlen(message_file) + 1));
  if (result == ERROR_SUCCESS) {
    DWORD types = EVENT_TYPES_SUPPORTED;
    result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE *>(&types), sizeof types);
  }
  RegCloseKey(key);
  return result;
}
