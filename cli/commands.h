// The command-line commands run against the service control manager.
#pragma once

#include <windows.h>

// 1 at start; the install option "-n" clears it. Gates every console message
// of the commands and the closing key prompt.
extern int verbose;
extern DWORD saved_error;
extern char error_text[256];

// The image path carries the timeout text, then the pre-timeout text, each
// when given, unchecked: the service judges them at start.
void install_service(const char *timeout_text, const char *pretimeout_text = nullptr);
void remove_service(void);
void query_service(void);
// The system's text for error_code and the code in hex, "<text> (0x<code>)",
// or the empty text. Returns text_buffer.
char *format_system_error(DWORD error_code, char *text_buffer, DWORD buffer_size);
// A service's exit code for the administrator: the system's text as above,
// or in words when the system has none ("the service did not finish in order
// (0xe0010002)").
char *format_exit_code(DWORD exit_code, char *text_buffer, DWORD buffer_size);
