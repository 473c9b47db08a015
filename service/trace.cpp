#include "service/trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

#ifndef ASR_TRACE_DEFAULT
#define ASR_TRACE_DEFAULT 0
#endif

int trace_enabled = ASR_TRACE_DEFAULT;

void trace(const char *text) {
  if (trace_enabled) OutputDebugStringA(text);
}

void tracef(const char *format, ...) {
  if (!trace_enabled) return;
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugStringA(line);
}
