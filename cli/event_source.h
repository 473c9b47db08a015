// The event source "vyrq4asr" in the System log, with the executable's
// message table, so that Event Viewer renders each entry.
#pragma once

#include <windows.h>

#include "service/names.h"

#define EVENT_SOURCE_KEY "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" SERVICE_NAME
// Error, warning and information entries.
#define EVENT_TYPES_SUPPORTED \
  (EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE)

// Writes the source's key with message_file as its EventMessageFile; 0 or the
// registry's error code.
LONG register_event_source(const char *message_file);
