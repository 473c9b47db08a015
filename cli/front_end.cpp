#include "cli/front_end.h"

#include <conio.h>
#include <stdio.h>
#include <windows.h>

#include "cli/commands.h"
#include "service/events.h"
#include "service/names.h"
#include "service/service_main.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/pretimeout.h"

enum command { NO_COMMAND, INSTALL_COMMAND, REMOVE_COMMAND, QUERY_COMMAND };

static char service_name[] = SERVICE_NAME;
static const SERVICE_TABLE_ENTRYA service_table[] = {{service_name, service_main},
                                                     {nullptr, nullptr}};

static char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

// Whole-text comparison ignoring ASCII letter case only, whatever the locale.
static bool ascii_iequals(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; a++, b++) {
    if (ascii_lower(*a) != ascii_lower(*b)) return false;
  }
  return *a == *b;
}

// Whether the decimal conversion finds digits: after white space and one
// sign, a digit.
static bool is_decimal_number(const char *text) {
  while (is_decimal_white_space(*text)) text++;
  if (*text == '+' || *text == '-') text++;
  return *text >= '0' && *text <= '9';
}

static enum command command_word(const char *word) {
  if (ascii_iequals(word, "install")) return INSTALL_COMMAND;
  if (ascii_iequals(word, "remove")) return REMOVE_COMMAND;
  if (ascii_iequals(word, "terminate")) return REMOVE_COMMAND;
  if (ascii_iequals(word, "query")) return QUERY_COMMAND;
  return NO_COMMAND;
}

// "-n" counts only directly after the command word. A number after the
// timeout is the pre-timeout; anything else after the timeout is ignored, as
// it always was.
static void run_install(int argc, char **argv) {
  int next = 2;
  if (next < argc && ascii_iequals(argv[next], "-n")) {
    verbose = 0;
    next++;
  }
  const char *timeout_text = next < argc ? argv[next] : nullptr;
  const char *pretimeout_text = nullptr;
  if (next + 1 < argc && is_decimal_number(argv[next + 1])) pretimeout_text = argv[next + 1];
  install_service(timeout_text, pretimeout_text);
}

static int command_path(enum command command, int argc, char **argv) {
  if (command == INSTALL_COMMAND) {
    run_install(argc, argv);
  } else if (command == REMOVE_COMMAND) {
    remove_service();
  } else {
    query_service();
  }
  if (verbose) {
    printf("Press any key to continue.\n");
    _getch();
  }
  // The outcome shows only in the messages printed.
  return 0;
}

static int service_path(int argc, char **argv) {
  printf("%s -install          to install the service\n", SERVICE_NAME);
  printf("%s -remove           to remove the service\n", SERVICE_NAME);
  printf("\nStartServiceCtrlDispatcher being called.\n");
  printf("This may take several seconds.  Please wait.\n");

  const char *argument = nullptr;
  if (argc >= 2) {
    argument = argv[1];
    trace("using user-supplied timeout [");
    trace(argument);
    trace("]\n");
  }
  timeout_seconds = timeout_from_argument(argument);
  // Judged at start, where a pre-timeout out of range is written to the log.
  if (argc >= 3) {
    pretimeout_argument = argv[2];
    pretimeout_requested = seconds_from_argument(argv[2]);
    trace("using user-supplied pre-timeout [");
    trace(argv[2]);
    trace("]\n");
  }

  // Returns only once the service has stopped; fails at once when the
  // process was not started by the service control manager.
  if (!StartServiceCtrlDispatcherA(service_table)) {
    report_error_event("StartServiceCtrlDispatcher failed.");
    return 1;
  }
  return 0;
}

int front_end(int argc, char **argv) {
  // Unbuffered, so that the progress dots of a stop show at once.
  setvbuf(stdout, nullptr, _IONBF, 0);

  trace("main entry\n");
  tracef("main, argc = %x\n", (unsigned)argc);
  for (int i = 0; i < argc; i++) {
    trace("arg = [");
    trace(argv[i]);
    trace("]\n");
  }

  if (argc >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) {
    enum command command = command_word(argv[1] + 1);
    if (command != NO_COMMAND) return command_path(command, argc, argv);
  }
  return service_path(argc, argv);
}
