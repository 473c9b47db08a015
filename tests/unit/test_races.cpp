// Repeated service runs with controls arriving on the main thread at the same
// instants as the worker's own steps, so that both really run at once. Run
// under ThreadSanitizer by the test script's race configuration.
#include "service/service_main.h"
#include "service_run.h"
#include "watchdog/session.h"

using ::testing::IsEmpty;

namespace {

class Races : public World {};

TEST_F(Races, RepeatedStartStopCyclesWithPowerEventsAndInterrogates) {
  // Instants where the worker is busy: the arming, tick boundaries, resets.
  const uint64_t instants[] = {100, 200, 10100, 10200, 20200, 30300, 500, 9999, 10101};
  int cycle = 0;
  for (uint64_t stop_at : instants) {
    for (int variant = 0; variant < 4; variant++, cycle++) {
      fake::reset();
      reset_system_state();
      if (variant & 1) {
        fake::send_control(stop_at, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
        fake::send_control(stop_at, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
      }
      if (variant & 2) {
        fake::send_control(stop_at, SERVICE_CONTROL_INTERROGATE, 0);
        fake::send_control(stop_at, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
      }
      fake::send_control(stop_at, SERVICE_CONTROL_STOP, 0);
      fake::send_control(stop_at, SERVICE_CONTROL_INTERROGATE, 0);
      run_service_process();
      fake::end_process();
      ASSERT_THAT(fake::violations(), IsEmpty()) << "cycle " << cycle;
      auto r = fake::status_reports();
      ASSERT_FALSE(r.empty());
      EXPECT_EQ(r.back().dwCurrentState, DWORD(SERVICE_STOPPED)) << "cycle " << cycle;
      EXPECT_EQ(r.back().dwWin32ExitCode, 0u) << "cycle " << cycle << ", stop at " << stop_at;
      EXPECT_FALSE(fake::bmc().watchdog.running()) << "timer left running, cycle " << cycle;
      EXPECT_EQ(fake::library_refcount(), 0) << "cycle " << cycle;
      EXPECT_EQ(watchdog_session.load(), 0u);
    }
  }
}

// Controls delivered from a thread of their own at a chosen moment of the
// worker's life, picked by a seeded generator so that a failure can be rerun.
TEST_F(Races, ControlsAtEveryStageOfTheWorker) {
  struct Stage {
    const char *call;
    int nth;
  } stages[] = {
      {"LoadLibraryExA", 1},  // loading
      {"OpenQD4Driver", 1},   // opening
      {"SendQD4Request", 1},  // checking
      {"SendQD4Request", 2},  // arming
      {"SendQD4Request", 3},  // the first reset
      {"Sleep", 50},          // feeding
      {"SendQD4Request", 4},  // a later reset
      // After the late stop below: resets at 0 .. 50500, then the disable.
      {"SendQD4Request", 9},  // disarming
      {"CloseQD4Driver", 1},  // closing
      {"FreeLibrary", 1},     // unloading
  };
  const DWORD extras[][2] = {{SERVICE_CONTROL_INTERROGATE, 0},
                             {SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND},
                             {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND},
                             {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC},
                             {SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPENDFAILED}};
  uint32_t seed = 20261208;
  auto next = [&seed](uint32_t bound) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % bound;
  };
  for (int cycle = 0; cycle < 150; cycle++) {
    fake::reset();
    reset_system_state();
    const Stage &stage = stages[next(sizeof stages / sizeof stages[0])];
    std::vector<std::pair<DWORD, DWORD>> controls;
    for (uint32_t n = next(4); n > 0; n--) {
      const DWORD *e = extras[next(sizeof extras / sizeof extras[0])];
      controls.push_back({e[0], e[1]});
    }
    // A resume last, so that a suspend cannot hold the resets for the rest of the run.
    controls.push_back({SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND});
    controls.push_back({SERVICE_CONTROL_STOP, 0});
    fake::before(stage.call, stage.nth, [controls] {
      fake::at(fake::now(), [controls] {
        for (const auto &c : controls) control_handler(c.first, c.second, nullptr, nullptr);
      });
    });
    // A stop late in the run, should the stage not be reached.
    fake::send_control(60000, SERVICE_CONTROL_STOP, 0);
    run_service_process();
    fake::end_process();
    std::string where = std::string("cycle ") + std::to_string(cycle) + ", controls before " +
                        stage.call + " #" + std::to_string(stage.nth);
    ASSERT_THAT(fake::violations(), IsEmpty()) << where;
    auto r = fake::status_reports();
    ASSERT_FALSE(r.empty()) << where;
    EXPECT_EQ(r.back().dwCurrentState, DWORD(SERVICE_STOPPED)) << where;
    EXPECT_EQ(r.back().dwWin32ExitCode, 0u) << where;
    EXPECT_FALSE(fake::bmc().watchdog.running()) << "timer left running, " << where;
    EXPECT_EQ(fake::library_refcount(), 0) << where;
  }
}

}  // namespace
