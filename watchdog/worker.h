// The worker thread that arms, feeds and disarms the watchdog, started by the
// run routine (service/hooks.h).
#pragma once

#include <windows.h>

DWORD WINAPI watchdog_worker(LPVOID parameter);
