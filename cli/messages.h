// Console output of the commands: every message goes through verbose, and a
// failure message carries the system's text for the error that caused it.
#pragma once

#include <windows.h>

// After "stopped" when the service's STOPPED report carries a non-zero exit
// code: display name, then that code in words (format_exit_code). The package's stop
// action writes the same line to the installation log.
#define STOPPED_BUT_ARMED_FORMAT "%s stopped, but the timer may still be armed - %s\n"

// Prints when verbose is on (printf-style).
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Stores the calling thread's last error in saved_error, then prints format
// with the error text in place of its one "%s".
void say_failure(const char *format);
// "Unable to install <display name> - <text for saved_error>\n".
void say_unable_to_install(void);
