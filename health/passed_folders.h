// The folders, as set, that have passed a write check: a folder that never
// has is taken for a setting mistake. Kept under SERVICE_OWN_KEY, which
// survives a reboot and a reinstall.
#pragma once

#include <stddef.h>
#include <windows.h>

// The list, folders separated by ';'; empty when there is none.
void passed_folders_read(char *list, DWORD size);
// Whether list names folder, as Windows compares paths: without regard to case.
bool passed_folders_listed(const char *list, const char *folder);
// Replaces the list; best effort.
void passed_folders_write(const char *list);
