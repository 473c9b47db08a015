// The run routine that brings the service to RUNNING and waits for the stop,
// and the worker thread that arms, feeds and disarms the watchdog.
#pragma once

#include <windows.h>

void run_service(DWORD argc, LPSTR *argv);
DWORD WINAPI watchdog_worker(LPVOID parameter);
