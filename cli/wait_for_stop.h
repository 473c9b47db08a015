// A removal's wait for the service it has sent the stop, as -remove and the
// package's stop action both wait: the service disarms the timer as it stops.
#pragma once

#include <windows.h>

// Reads the service's state once a second, the first time a second after the
// stop, until it is no longer STOP_PENDING or REMOVAL_STOP_WAIT_MS have
// passed; still_stopping, unless null, is called before each further second.
// *status holds the last state read. False, with *error, when a query failed:
// *status then holds what it held before.
bool wait_for_stop(SC_HANDLE service, SERVICE_STATUS *status, DWORD *error,
                   void (*still_stopping)(void));
