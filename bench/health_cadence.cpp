// The feed loop's cadence while the health checks run, pass, or hang, on the
// fake Windows' virtual time: each life feeds for an hour with the checks
// set as its row says, then is stopped. The figures are the intervals
// between the resets the BMC took and the requests sent besides them; from
// the second minute on a row's checks hang or keep passing: a
// check that hangs must neither slow the loop nor add a request. Virtual
// time measures the service's own waits, not the machine's speed.
//
// Usage: health_cadence [minutes]  (60)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake.h"
#include "health/settings.h"
#include "ipmi/ipmi.h"
#include "service/service_main.h"

void reset_system_state();

namespace {

constexpr char kCommand[] = "C:\\tools\\check.exe";
constexpr char kFolder[] = "C:\\data";

struct Row {
  const char *name;
  bool checks;
  fake::Program program;
  DWORD write_stall_ms;
  DWORD grace_s, report_only;
};

const Row kRows[] = {
    {"no health value set", false, {}, 0, 0, 0},
    {"folder, command and commit checks passing", true, {0, 300}, 0, 180, 0},
    {"folder write stalled for good, command hanging (2 children), within the grace",
     true,
     {0, 0, true, 2},
     INFINITE,
     86400,
     0},
    {"the same past the grace, report only", true, {0, 0, true, 2}, INFINITE, 30, 1},
};

struct Figures {
  std::vector<uint64_t> gaps;  // between resets taken, ms
  long other_requests = 0;     // after the first reset, anything but a reset
  size_t runs = 0;             // command runs started
  long warnings = 0, errors = 0;
};

void set_dword(HealthNumber n, DWORD v) {
  fake::set_registry_dword(PARAMETERS_KEY, kHealthNumberSpecs[n].value, v);
}

void set_text(const char *name, const char *text) {
  const BYTE *b = reinterpret_cast<const BYTE *>(text);
  fake::registry()[PARAMETERS_KEY][name] =
      fake::RegistryValue{REG_SZ, std::vector<BYTE>(b, b + strlen(text) + 1)};
}

Figures one_life(const Row &row, uint64_t span_ms) {
  fake::reset();
  reset_system_state();
  if (row.checks) {
    set_text(HEALTH_FOLDER_VALUE, kFolder);
    set_text(HEALTH_COMMAND_VALUE, kCommand);
    set_dword(kInterval, 10);
    set_dword(kStartDelay, 0);
    set_dword(kGrace, row.grace_s);
    set_dword(kReportOnly, row.report_only);
    set_dword(kCommitFloor, 512);
    // Passing for the first minute, so that the folder has passed once and
    // its stall is a failure, not a setting mistake.
    fake::add_program(kCommand, fake::Program{0, 300});
    fake::folders()[kFolder];
    fake::at(60000, [row] {
      fake::add_program(kCommand, row.program);
      fake::folders()[kFolder].write_stall_ms = row.write_stall_ms;
    });
  }
  Figures f;
  uint64_t last = 0;
  bool fed = false;
  fake::on_ipmi_request([&](const fake::IpmiRequest &r) {
    if (r.command != ipmi::kCmdResetWatchdog) {
      f.other_requests += fed;
      return;
    }
    if (r.status != 0 || r.completion_out != ipmi::kCcOk) return;
    if (fed) f.gaps.push_back(r.at_ms - last);
    fed = true;
    last = r.at_ms;
  });
  fake::send_control(span_ms, SERVICE_CONTROL_STOP, 0);
  static char name[] = "vyrq4asr";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherA(table);  // returns at the STOPPED report
  // The stop's disable is no part of the feeding.
  f.other_requests = std::max(0L, f.other_requests - 1);
  f.runs = fake::started_command_lines().size();
  for (const fake::Event &e : fake::events()) {
    f.warnings += e.type == EVENTLOG_WARNING_TYPE;
    f.errors += e.type == EVENTLOG_ERROR_TYPE;
  }
  fake::end_process();
  return f;
}

}  // namespace

// A folder write that never returns keeps its run's memory for good, as it
// keeps its thread: not a leak of the monitor's.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }

int main(int argc, char **argv) {
  uint64_t minutes = argc > 1 ? strtoull(argv[1], nullptr, 10) : 60;
  printf(
      "Feed loop cadence with the health checks, %llu virtual minutes a row on the fake Windows\n"
      "(interval 10 s, write and command limits 60 s, commit floor 512 MB).\n\n"
      "| checks | resets | p50 ms | min ms | worst ms | other requests | command runs | "
      "warnings | errors |\n|---|---|---|---|---|---|---|---|---|\n",
      static_cast<unsigned long long>(minutes));
  auto started = std::chrono::steady_clock::now();
  int result = 0;
  for (const Row &row : kRows) {
    Figures f = one_life(row, minutes * 60000);
    std::sort(f.gaps.begin(), f.gaps.end());
    if (f.gaps.empty()) {
      fprintf(stderr, "FAIL %s: no two resets taken\n", row.name);
      return 1;
    }
    printf("| %s | %zu | %llu | %llu | %llu | %ld | %zu | %ld | %ld |\n", row.name,
           f.gaps.size() + 1, static_cast<unsigned long long>(f.gaps[(f.gaps.size() - 1) / 2]),
           static_cast<unsigned long long>(f.gaps.front()),
           static_cast<unsigned long long>(f.gaps.back()), f.other_requests, f.runs, f.warnings,
           f.errors);
    // The loop's own period is 101 ticks of 100 ms.
    if (f.gaps.front() != 10100 || f.gaps.back() != 10100 || f.other_requests != 0) result = 1;
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf(
      "\n%.1f s of wall time.%s\n", wall,
      result ? " FAIL: a reset interval other than 10100 ms, or a request besides the resets" : "");
  return result;
}
