#include <cstring>

#include "cli/commands.h"
#include "health/monitor.h"
#include "service/events.h"
#include "service/status.h"
#include "service/stop.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/driver_library.h"
#include "watchdog/pretimeout.h"
#include "watchdog/session.h"
#include "watchdog/shutdown.h"
#include "watchdog/suspend_hold.h"
#include "watchdog/timer_at_start.h"
#include "world.h"

void reset_system_state() {
  status_record = StatusRecord{};
  status_handle = nullptr;
  checkpoint_counter = 1;
  exit_code_clear();
  stop_event = nullptr;
  stop_requested = 0;
  worker_finished = 0;
  trace_enabled = 0;
  timeout_seconds = 255;
  pretimeout_argument = nullptr;
  pretimeout_requested = 0;
  pretimeout_start();  // with no argument: no pre-timeout taken or refused
  enable_clear_flags_forget();
  watchdog_session = 0;
  driver_library = nullptr;
  qd4_open = nullptr;
  qd4_close = nullptr;
  qd4_send = nullptr;
  qd4_version = nullptr;
  verbose = 1;
  saved_error = 0;
  memset(error_text, 0, sizeof error_text);
  hold_clear();
  health_clear();
  enable_owed = false;
  shutdown_requested = 0;
  shutdown_requested_ms = 0;
  stopped_reported = FALSE;
}
