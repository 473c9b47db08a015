// The custom actions' lines in the installation log (msiexec /l*v).
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <msi.h>

void log_line(MSIHANDLE install, const char* text);
