// How fast the fake's virtual time runs: the whole service fed for a number
// of virtual hours (24 by default, the first argument), then stopped.
// Prints the worker's 100 ms ticks per wall second. Uses only the fake's
// oldest interface, so that the same file measures earlier fakes too.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "fake.h"
#include "service/service_main.h"

void reset_system_state();

int main(int argc, char **argv) {
  unsigned hours = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 24;
  fake::reset();
  reset_system_state();
  uint64_t span = hours * 3600000ull;
  fake::send_control(span, SERVICE_CONTROL_STOP, 0);
  static char name[] = "vyrq4asr";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  auto start = std::chrono::steady_clock::now();
  if (!StartServiceCtrlDispatcherA(table)) return 1;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  size_t ticks = fake::journal("Sleep 100").size();
  fake::end_process();
  printf("%u virtual hours, %zu ticks in %.2f s wall: %.0f ticks per wall second\n", hours, ticks,
         wall, ticks / wall);
  return 0;
}
