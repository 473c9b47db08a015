// How one run's result is written: a pass, a failure of the server, or a
// run that could not begin (a setting mistake). The text is cut to fit.
#pragma once

#include "health/checks.h"

CheckRun run_passed();
CheckRun run_failed(const char *format, ...) __attribute__((format(printf, 1, 2)));
CheckRun run_cannot_start(const char *format, ...) __attribute__((format(printf, 1, 2)));
