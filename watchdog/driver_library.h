// Binding to the driver library, loaded at run time from the system folder.
#pragma once

#include "qd4/qd4_driver.h"

extern HMODULE driver_library;
// Entry addresses; null when the library lacks the entry.
extern OpenQD4DriverFn qd4_open;
extern CloseQD4DriverFn qd4_close;
extern SendQD4RequestFn qd4_send;
extern GetQD4VersionFn qd4_version;

// Loads the library and resolves its entries. True once the load succeeds,
// even when entries are missing; false with the load's last error.
BOOL load_driver_library(void);
void unload_driver_library(void);
// The entries, each behaving as a failed call when the entry is missing.
DWORD driver_open(WatchdogSession *session);
DWORD driver_close(WatchdogSession session);
