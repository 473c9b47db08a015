// Repeated service runs with controls arriving on the main thread at the same
// instants as the worker's own steps, so that both really run at once. Run
// under ThreadSanitizer by the test script's race configuration.
#include "service/state.h"
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
      EXPECT_FALSE(fake::bmc().running) << "timer left running, cycle " << cycle;
      EXPECT_EQ(fake::library_refcount(), 0) << "cycle " << cycle;
      EXPECT_EQ(watchdog_session.load(), 0u);
    }
  }
}

}  // namespace
