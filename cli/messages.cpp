#include "cli/messages.h"

#include <stdarg.h>
#include <stdio.h>

#include "cli/commands.h"
#include "service/names.h"

int verbose = 1;
DWORD saved_error = 0;
char error_text[256];

void say(const char *format, ...) {
  if (!verbose) return;
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
}

void say_failure(const char *format) {
  // Taken before anything else runs: printing may change the last error.
  saved_error = GetLastError();
  if (!verbose) return;
  printf(format, format_system_error(saved_error, error_text, sizeof error_text));
}

void say_unable_to_install(void) {
  if (!verbose) return;
  printf("Unable to install %s - %s\n", SERVICE_DISPLAY_NAME,
         format_system_error(saved_error, error_text, sizeof error_text));
}
