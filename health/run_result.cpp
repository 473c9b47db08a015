#include "health/run_result.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

CheckRun with_text(bool cannot_start, const char *format, va_list args) {
  CheckRun run = {};
  run.cannot_start = cannot_start;
  vsnprintf(run.what, sizeof run.what, format, args);
  return run;
}

}  // namespace

CheckRun run_passed() {
  CheckRun run = {};
  run.passed = true;
  return run;
}

CheckRun run_failed(const char *format, ...) {
  va_list args;
  va_start(args, format);
  CheckRun run = with_text(false, format, args);
  va_end(args);
  return run;
}

CheckRun run_cannot_start(const char *format, ...) {
  va_list args;
  va_start(args, format);
  CheckRun run = with_text(true, format, args);
  va_end(args);
  return run;
}
