// The service's settings under its key's Parameters: read by the service at
// each start, written by the package from its properties.
#pragma once

#include "service/names.h"

#define PARAMETERS_KEY "SYSTEM\\CurrentControlSet\\Services\\" SERVICE_NAME "\\Parameters"
// What the service itself keeps across reboots and reinstalls: under
// HKLM\SOFTWARE, which only administrators and SYSTEM may write.
#define SERVICE_OWN_KEY "SOFTWARE\\VYR\\" SERVICE_NAME

// REG_DWORD, seconds: the count a shutdown leaves the timer with, so that a
// hung shutdown is reset and a slow reboot is not. Never below the running
// timeout; at most the Set's 16-bit count of 100 ms (IPMI 2.0 section 27.6).
#define SHUTDOWN_ALLOWANCE_VALUE "ShutdownAllowance"
#define SHUTDOWN_ALLOWANCE_DEFAULT_S 600
#define SHUTDOWN_ALLOWANCE_MAX_S 6553
