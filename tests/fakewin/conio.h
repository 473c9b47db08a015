// Fake <conio.h>: the one console call the system uses.
#pragma once

// Reads one key without echo. The fake returns the next scripted key (see fake::press_keys).
int _getch(void);
