#include <stdio.h>

#include "cli/commands.h"
#include "service/events.h"

// Room the text needs beyond the message itself: " (0x", eight hex digits,
// ")" and the terminating NUL, less the two characters of the line end.
static const DWORD TEXT_OVERHEAD = 14;

char *format_system_error(DWORD error_code, char *text_buffer, DWORD buffer_size) {
  char *message = nullptr;
  // IGNORE_INSERTS: no argument is ever read, even for texts holding "%1".
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error_code, 0, (LPSTR)&message, 0, nullptr);
  if (length == 0 || message == nullptr || buffer_size < length + TEXT_OVERHEAD) {
    if (buffer_size > 0) text_buffer[0] = '\0';
  } else {
    // System texts end in CR LF, Wine's in a lone LF; nothing else is cut.
    if (length >= 2 && message[length - 2] == '\r' && message[length - 1] == '\n') {
      length -= 2;
    } else if (message[length - 1] == '\n') {
      length -= 1;
    }
    snprintf(text_buffer, buffer_size, "%.*s (0x%x)", (int)length, message, (unsigned)error_code);
  }
  if (message != nullptr) LocalFree((HLOCAL)message);
  return text_buffer;
}

char *format_exit_code(DWORD exit_code, char *text_buffer, DWORD buffer_size) {
  format_system_error(exit_code, text_buffer, buffer_size);
  if (buffer_size == 0 || text_buffer[0] != '\0') return text_buffer;
  // The stop error is the service's own: no system text names it.
  snprintf(text_buffer, buffer_size, "%s (0x%x)",
           exit_code == STOP_ERROR_EXIT_CODE ? "the service did not finish in order" : "exit code",
           (unsigned)exit_code);
  return text_buffer;
}
