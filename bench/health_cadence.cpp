// The feed loop's cadence with health checks that hang, on the fake Windows'
// virtual time: each life feeds the timer for an hour with the checks set to
// report only (so that the resets never stop), and the gaps between resets
// are measured. Then the time from a command's first hang to the withheld
// resets, against its limit and the grace.
//
// Usage: health_cadence [lives]  (5 each)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "fake.h"
#include "health_script.h"
#include "service/event_ids.h"
#include "service/service_main.h"

void reset_system_state();

namespace {

constexpr uint64_t kHour = 3600000;

struct Condition {
  const char *name;
  std::function<void()> set;
};

struct Life {
  uint64_t resets, min_gap, max_gap, withheld_at;
};

Life one_life(const Condition &c, uint64_t offset, bool report_only) {
  fake::reset();
  reset_system_state();
  c.set();
  if (report_only) health_script::set_number(kReportOnly, 1);
  // The failure begins at a different phase of the feed loop each life.
  for (auto *spells : {&health_script::script().command, &health_script::script().folder})
    for (health_script::Spell &s : *spells) s.from_ms += offset;
  fake::send_control(kHour, SERVICE_CONTROL_STOP, 0);
  static char name[] = "vyrq4asr";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherA(table);
  fake::wait_for_threads();
  Life life{0, UINT64_MAX, 0, 0};
  uint64_t last = 0;
  for (const fake::IpmiRequest &r : fake::ipmi_requests()) {
    if (r.command != 0x22) continue;
    if (life.resets++ > 0) {
      life.min_gap = std::min(life.min_gap, r.at_ms - last);
      life.max_gap = std::max(life.max_gap, r.at_ms - last);
    }
    last = r.at_ms;
  }
  for (const fake::Event &e : fake::events())
    if (e.id == EVENT_HEALTH_WITHHOLDING && life.withheld_at == 0) life.withheld_at = e.at_ms;
  fake::end_process();
  return life;
}

}  // namespace

int main(int argc, char **argv) {
  unsigned lives = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 5;
  using health_script::kHang;
  const Condition conditions[] = {
      {"no check set", [] {}},
      {"a command that passes", [] { health_script::install(); }},
      {"a command that hangs every run",
       [] {
         health_script::install();
         health_script::script().command = {{60000, kHour, kHang}};
       }},
      {"a folder write stalled for good, a hanging command and repair",
       [] {
         health_script::install();
         health_script::set_text(HEALTH_FOLDER_VALUE, "D:\\data");
         health_script::set_text(REPAIR_COMMAND_VALUE, "C:\\tools\\check.cmd /repair");
         health_script::script().folder = {{60000, kHour, kHang}};
         health_script::script().command = {{60000, kHour, kHang}};
       }},
  };
  printf(
      "Feed loop cadence over an hour of virtual time, checks reporting only (%u lives "
      "each):\n\n| checks | resets | shortest gap ms | longest gap ms |\n|---|---|---|---|\n",
      lives);
  for (const Condition &c : conditions) {
    Life all{0, UINT64_MAX, 0, 0};
    for (unsigned i = 0; i < lives; i++) {
      Life l = one_life(c, i * 2300, true);
      all.resets += l.resets;
      all.min_gap = std::min(all.min_gap, l.min_gap);
      all.max_gap = std::max(all.max_gap, l.max_gap);
    }
    printf("| %s | %llu | %llu | %llu |\n", c.name, static_cast<unsigned long long>(all.resets),
           static_cast<unsigned long long>(all.min_gap),
           static_cast<unsigned long long>(all.max_gap));
  }
  printf(
      "\nA command hanging from 60 s on (limit 60 s, grace 180 s): seconds from the first "
      "hang to the withholding entry\n\n| life | s |\n|---|---|\n");
  for (unsigned i = 0; i < lives; i++) {
    uint64_t offset = i * 2300;
    Life l = one_life(conditions[2], offset, false);
    printf("| %u | %.1f |\n", i + 1, (l.withheld_at - 60000.0 - offset) / 1000.0);
  }
  return 0;
}
