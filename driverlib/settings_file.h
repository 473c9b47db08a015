// Finding and reading "vyrqd4w.ini" beside the DLL, shared by the library and
// qd4probe so that both read the same file the same way.
#pragma once

#include <windows.h>

#include <cstring>

#include "driverlib/settings.h"

namespace qd4 {

enum class SettingsFile {
  kAbsent,      // no file: the defaults apply
  kRead,        // read; a line it could not use is named by bad_line
  kUnreadable,  // there, but it could not be opened or read
};

// The settings file's path: the folder of module (the DLL), then its name.
inline bool settings_path(HMODULE module, char* path, DWORD cap) {
  DWORD n = GetModuleFileNameA(module, path, cap);
  if (n == 0 || n >= cap) return false;
  char* slash = std::strrchr(path, '\\');
  char* base = slash != nullptr ? slash + 1 : path;
  static const char kName[] = "vyrqd4w.ini";
  if (static_cast<size_t>(base - path) + sizeof(kName) > cap) return false;
  std::memcpy(base, kName, sizeof(kName));
  return true;
}

// Reads the file at path into *settings. *bad_line: the first line that
// could not be used (from 1), or 0.
inline SettingsFile read_settings_file(const char* path, Settings* settings, int* bad_line) {
  *bad_line = 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? SettingsFile::kAbsent
               : SettingsFile::kUnreadable;
  }
  // One byte past the bound, so that the parser sees a file that is too long.
  char text[kMaxSettingsFile + 1];
  DWORD got = 0;
  BOOL ok = ReadFile(file, text, sizeof(text), &got, nullptr);
  CloseHandle(file);
  if (!ok) return SettingsFile::kUnreadable;
  parse_settings(text, got, settings, bad_line);
  return SettingsFile::kRead;
}

}  // namespace qd4
