// Where the driver library is loaded from, and how: the system folder where
// the executable is installed, as the 64-bit service manager sees it. Shared
// by the service, its installer and qd4probe, so that the probe loads the
// very file the service would.
#pragma once

#include <windows.h>

// As GetSystemDirectoryA (the length without the NUL, the size needed when
// the buffer is too small, 0 with the last error on failure), but under WOW64
// (a 32-bit process on 64-bit Windows) the folder that the 32-bit system32 is
// redirected to (SysWOW64): a path registered with the service manager then
// names the file where it really is.
UINT get_system_folder(char *buffer, UINT size);

// The full path of file_name in the system folder, NUL included, in path.
// False with the last error when the folder cannot be read or the path would
// not fit (ERROR_FILENAME_EXCED_RANGE).
bool system_folder_file(const char *file_name, char *path, UINT size);

// Loads the library at full_path, that file only; its own imports are looked
// up in its folder and system32 where the system supports that. NULL with the
// last error on failure.
HMODULE load_library_file(const char *full_path);

// Loads a library from the system folder only, never from the current folder,
// the program's folder or a PATH folder, as load_library_file does.
HMODULE load_from_system_folder(const char *file_name);
