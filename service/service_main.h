// The routines the service control manager calls through the dispatcher.
#pragma once

#include <windows.h>

void WINAPI service_main(DWORD argc, LPSTR *argv);
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);
