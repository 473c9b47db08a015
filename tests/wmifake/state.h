// The fake's process-wide state: its settings file, read afresh on each call,
// the fault counter, and the call log.
#pragma once

#include <windows.h>

#include <string>

#include "fake_settings.h"

namespace wmifake {

extern HMODULE g_module;

// The settings in wmifake.ini beside the DLL; defaults when there is none.
Settings load_settings();

// Whether the settings' fault is `fault` and still acts: with count=N only on
// the first N calls it affects after the file last changed.
bool fault_acts(const Settings& settings, Fault fault);

// Appends one line (printf format) to the settings' log file, if any.
void log_line(const Settings& settings, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// UTF-8 form of a wide string, for the log; "(null)" for none.
std::string narrow(const wchar_t* text);

}  // namespace wmifake
