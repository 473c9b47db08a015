// The system folder where the executable is installed and where the driver
// library is loaded from, as the 64-bit service manager sees it.
#pragma once

#include <windows.h>

// As GetSystemDirectoryA (the length without the NUL, the size needed when
// the buffer is too small, 0 with the last error on failure), but under WOW64
// (a 32-bit process on 64-bit Windows) the folder that the 32-bit system32 is
// redirected to (SysWOW64): a path registered with the service manager then
// names the file where it really is.
UINT get_system_folder(char *buffer, UINT size);

// Loads a library from the system folder only, never from the current folder,
// the program's folder or a PATH folder; its own imports are looked up in its
// folder and system32 where the system supports that. NULL with the last
// error on failure.
HMODULE load_from_system_folder(const char *file_name);
