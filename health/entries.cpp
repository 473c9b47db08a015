#include "health/entries.h"

#include <stdarg.h>
#include <stdio.h>

#include "service/events.h"

// Long enough for the start's list of every check in force.
#define ENTRY_MAX 2048

static void entry_text(char *text, size_t size, const char *format, va_list args) {
  int n = snprintf(text, size, "VYR IPMI ASR: ");
  vsnprintf(text + n, size - n, format, args);
}

void health_error(DWORD event_id, DWORD code, const char *format, ...) {
  char text[ENTRY_MAX];
  va_list args;
  va_start(args, format);
  entry_text(text, sizeof text, format, args);
  va_end(args);
  SetLastError(code);
  report_error_event(text, event_id);
}

void health_warning(DWORD event_id, const char *format, ...) {
  char text[ENTRY_MAX];
  va_list args;
  va_start(args, format);
  entry_text(text, sizeof text, format, args);
  va_end(args);
  report_warning_event(event_id, 0, text);
}

void health_info(DWORD event_id, const char *format, ...) {
  char text[ENTRY_MAX];
  va_list args;
  va_start(args, format);
  entry_text(text, sizeof text, format, args);
  va_end(args);
  report_info_event(event_id, text);
}
