// Diagnostic traces to the debugger output, written only when trace_enabled is
// on. It is a build-time aid: no option, setting or environment value sets it.
#pragma once

extern int trace_enabled;

void trace(const char *text);
// printf-style; the result is cut to 255 characters.
void tracef(const char *format, ...) __attribute__((format(printf, 1, 2)));
