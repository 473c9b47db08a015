// The health checks' event entries: "VYR IPMI ASR: " and the formatted text.
#pragma once

#include <windows.h>

// Sets the last error to code first: the entry carries it, and it tells how
// the service ends.
void health_error(DWORD event_id, DWORD code, const char *format, ...);
void health_warning(DWORD event_id, const char *format, ...);
void health_info(DWORD event_id, const char *format, ...);
