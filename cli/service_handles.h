// Opening the service manager and the service, as remove and query share it.
#pragma once

#include <windows.h>

// Opens the manager and the service "vyrq4asr" with full access. On failure
// prints its message, closes what it opened and returns false.
bool open_service(SC_HANDLE *manager, SC_HANDLE *service);
// Closes the service's handle, then the manager's.
void close_service(SC_HANDLE manager, SC_HANDLE service);
