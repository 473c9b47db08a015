// The control handler during a service run: power events around suspend and
// resume, interrogate and other controls.
#include "ipmi/ipmi.h"
#include "service/trace.h"
#include "service_run.h"
#include "watchdog/commands.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class Controls : public World {
 protected:
  void run() {
    run_service_process();
    fake::end_process();
  }
  std::vector<std::string> reports_from(size_t first) {
    auto all = reports();
    return first < all.size() ? std::vector<std::string>(all.begin() + first, all.end())
                              : std::vector<std::string>{};
  }
};

TEST_F(Controls, SuspendDisarmsAndHoldsResetsUntilResume) {
  fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::send_control(60050, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
  fake::send_control(65000, SERVICE_CONTROL_STOP, 0);
  bool running_while_asleep = true;
  // Half-way through the sleep, the timer must still be stopped.
  fake::at(40000, [&] { running_while_asleep = fake::bmc().watchdog.running(); });
  run();
  EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Reset", "Disable", "Enable",
                                           "Reset", "Disable"));
  EXPECT_THAT(request_times(0x22), ElementsAre(0, 10100, 60600))
      << "no reset between the suspend and the resume; the next falls on the tick count";
  EXPECT_FALSE(running_while_asleep) << "a reset restarted the timer while the system slept";
  EXPECT_THAT(fake::control_results(), ElementsAre(NO_ERROR, NO_ERROR, NO_ERROR));
  auto times = request_times(0x24);
  ASSERT_EQ(times.size(), 4u);
  EXPECT_EQ(times[1], 15050u) << "the suspend disables at once";
  EXPECT_EQ(times[2], 60050u) << "the resume enables at once";
}

TEST_F(Controls, EveryResumeTypeReenables) {
  for (DWORD type : {PBT_APMRESUMECRITICAL, PBT_APMRESUMESUSPEND, PBT_APMRESUMEAUTOMATIC}) {
    fake::reset();
    reset_system_state();
    fake::send_control(5050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
    fake::send_control(6050, SERVICE_CONTROL_POWEREVENT, type);
    fake::send_control(25000, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_THAT(request_times(0x22), ElementsAre(0, 10100, 20200)) << "resume type " << type;
    EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Disable", "Enable", "Reset",
                                             "Reset", "Disable"))
        << "resume type " << type;
  }
}

TEST_F(Controls, RefusedSuspendQueryLeavesTheTimerFedAgain) {
  fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
  fake::send_control(15060, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPENDFAILED);
  fake::send_control(25000, SERVICE_CONTROL_STOP, 0);
  bool stopped_after_query = false, running_after_reset = false;
  fake::at(15100, [&] { stopped_after_query = !fake::bmc().watchdog.running(); });
  fake::at(20250, [&] { running_after_reset = fake::bmc().watchdog.running(); });
  run();
  EXPECT_THAT(ipmi_commands(),
              ElementsAre("Get", "Enable", "Reset", "Reset", "Disable", "Reset", "Disable"));
  EXPECT_THAT(request_times(0x22), ElementsAre(0, 10100, 20200));
  EXPECT_TRUE(stopped_after_query) << "a suspend query disables the timer";
  EXPECT_TRUE(running_after_reset) << "the next reset must start the timer again";
}

TEST_F(Controls, PowerEventsReReport) {
  fake::send_control(1000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPENDFAILED);
  fake::send_control(2000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
  fake::send_control(3000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  fake::send_control(4000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(reports_from(4), ElementsAre("RUNNING cp=0 hint=0 accept=0x141 exit=0x0",
                                           "RUNNING cp=0 hint=0 accept=0x141 exit=0x0",
                                           "RUNNING cp=0 hint=0 accept=0x141 exit=0x0",
                                           "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                                           "STOP_PENDING cp=5 hint=0 accept=0x141 exit=0x0",
                                           "STOPPED cp=0 hint=0 accept=0x141 exit=0x0"));
  // Type 2 alone sends nothing: the only requests at 1000 ms would be its own.
  for (const auto &r : fake::ipmi_requests()) EXPECT_NE(r.at_ms, 1000u);
}

TEST_F(Controls, InterrogateAndOtherControlsReReportAndAnswer120) {
  fake::send_control(5000, SERVICE_CONTROL_INTERROGATE, 0);
  fake::send_control(6000, SERVICE_CONTROL_PAUSE, 0);
  fake::send_control(7000, SERVICE_CONTROL_SHUTDOWN, 0);
  fake::send_control(7500, 200, 0);  // a user-defined control reaches every running service
  fake::send_control(8000, SERVICE_CONTROL_STOP, 0);
  run();
  // Pause and shutdown are not accepted, so the manager keeps them back.
  EXPECT_THAT(fake::journal("control "),
              ElementsAre("control 4 type=0 -> 120", "control 2 type=0 refused=1052",
                          "control 5 type=0 refused=1052", "control 200 type=0 -> 120",
                          "control 1 type=0 -> 0"));
  EXPECT_THAT(reports_from(4), ElementsAre("RUNNING cp=0 hint=0 accept=0x141 exit=0x0",
                                           "RUNNING cp=0 hint=0 accept=0x141 exit=0x0",
                                           "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                                           "STOP_PENDING cp=5 hint=0 accept=0x141 exit=0x0",
                                           "STOPPED cp=0 hint=0 accept=0x141 exit=0x0"))
      << "one RUNNING report for each control handled while running";
  for (const SERVICE_STATUS &s : fake::status_reports())
    EXPECT_EQ(s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN, 0u) << "shutdown is never accepted";
}

TEST_F(Controls, ControlsWhilePendingAreRefusedAndAHandledOneTakesACheckpoint) {
  // The worker fails at once: STOP_PENDING from the start, STOPPED after 2 s.
  fake::bmc().open_status = ERROR_FILE_NOT_FOUND;
  fake::send_control(1000, SERVICE_CONTROL_STOP, 0);
  fake::send_control(1200, SERVICE_CONTROL_INTERROGATE, 0);
  // One that the manager passed on just before the worker's report is
  // handled while pending.
  DWORD answer = 0;
  fake::at(1500,
           [&] { answer = control_handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr); });
  run();
  EXPECT_THAT(fake::journal("control "),
              ElementsAre("control 1 type=0 refused=1061", "control 4 type=0 refused=1061"));
  EXPECT_EQ(answer, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_THAT(reports_from(4), ElementsAre("STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                                           "STOP_PENDING cp=5 hint=0 accept=0x141 exit=0x0",
                                           "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002"));
}

TEST_F(Controls, PowerEventsWithoutASessionSendNothing) {
  // The library is absent, so the worker never opens a session.
  fake::bmc().library_present = false;
  fake::send_control(1000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
  fake::send_control(2000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::send_control(3000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
  run();
  EXPECT_THAT(fake::ipmi_requests(), IsEmpty());
  EXPECT_THAT(fake::control_results(), ElementsAre(NO_ERROR, NO_ERROR, NO_ERROR));
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x7e")
      << "the load's error, 126";
}

TEST_F(Controls, PowerEventsAfterTheWorkerClosedItsSessionSendNothing) {
  // Every reset fails: after half the timeout the worker disarms, closes its
  // session and ends. Power events handled between the close and its
  // STOP_PENDING report (the manager still passes them on then) must not
  // reach the closed session.
  timeout_seconds = 250;
  fake::script_reply(0x22, 0, 1, 0);
  std::vector<DWORD> answers;
  fake::before("FreeLibrary", 1, [&] {
    answers.push_back(
        control_handler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, nullptr));
    answers.push_back(
        control_handler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, nullptr, nullptr));
  });
  run();
  auto commands = ipmi_commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands.back(), "Disable") << "nothing may reach the closed session";
  EXPECT_EQ(request_times(0x24).back(), 125000u);
  EXPECT_THAT(answers, ElementsAre(NO_ERROR, NO_ERROR));
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002");
}

TEST_F(Controls, ControlsWhileStartingTouchOnlyATimerTheStartHasRead) {
  // One request takes 500 ms (the Get, or the enable); the controls come
  // during it. A suspend during the Get leaves the timer alone, and the Get
  // is sent again after the resume; one during the enable disarms it.
  struct Row {
    const char *what;
    int slow_request;
    bool bios_timer;
    std::vector<DWORD> power_events;
    bool stop;
    std::vector<std::string> commands;
    bool running_at_3s;
  } rows[] = {
      {"a suspend during the Get: read again after the resume at 5 s",
       1,
       false,
       {PBT_APMSUSPEND},
       false,
       {"Get", "Get", "Enable", "Reset", "Disable"},
       false},
      {"a suspend and a resume during the Get: read again, armed and fed",
       1,
       false,
       {PBT_APMSUSPEND, PBT_APMRESUMESUSPEND},
       false,
       {"Get", "Get", "Enable", "Reset", "Enable", "Reset", "Disable"},
       true},
      {"a stop during the Get: no enable, no reset", 1, false, {}, true, {"Get"}, false},
      {"a BIOS timer, a suspend during the Get: the BIOS's until read again",
       1,
       true,
       {PBT_APMSUSPEND},
       false,
       {"Get", "Get", "Enable", "Reset", "Disable"},
       true},
      {"a BIOS timer, a suspend during the enable: disarmed asleep, armed at the resume",
       2,
       true,
       {PBT_APMSUSPEND},
       false,
       {"Get", "Enable", "Disable", "Enable", "Reset", "Disable"},
       false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    fake::reset();
    reset_system_state();
    if (row.bios_timer)
      fake::bmc().watchdog.start_running(ipmi::kUseOsLoad, ipmi::kActionHardReset, 3000, 0);
    fake::before("SendQD4Request", row.slow_request, [] { Sleep(500); });
    uint64_t at = 100;
    for (DWORD type : row.power_events) fake::send_control(at++, SERVICE_CONTROL_POWEREVENT, type);
    if (row.stop) fake::send_control(200, SERVICE_CONTROL_STOP, 0);
    fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
    fake::send_control(12000, SERVICE_CONTROL_STOP, 0);
    fake::Bmc at_3s;
    fake::at(3000, [&at_3s] { at_3s = fake::bmc_copy(); });
    run();
    EXPECT_THAT(ipmi_commands(), ::testing::ElementsAreArray(row.commands));
    EXPECT_EQ(fake::ipmi_requests()[0].at_ms, row.slow_request == 1 ? 500u : 0u);
    EXPECT_EQ(at_3s.watchdog.running(), row.running_at_3s);
    if (row.bios_timer && row.running_at_3s) {
      EXPECT_EQ(at_3s.watchdog.use(), ipmi::kUseOsLoad) << "a timer not yet read is not touched";
    }
    EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    EXPECT_FALSE(fake::bmc().watchdog.running());
  }
}

TEST_F(Controls, SuspendBeforeTheSessionOpensDefersTheRead) {
  // The suspend arrives while the worker is still starting: the timer is
  // read, armed and started only after the resume.
  fake::before("OpenQD4Driver", 1, [] {
    control_handler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, nullptr);
  });
  fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
  fake::send_control(12000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(request_times(0x25), ElementsAre(5100)) << "the first tick after the resume";
  EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Disable"));
}

TEST_F(Controls, SuspendWhileTheWorkerWaitsOnTheLibraryIsAnsweredWithinTheBound) {
  // Each call made from 20 s to 20.5 s takes 120 s: the reset at 20.2 s
  // holds the session until 140.2 s, past the suspend and the resume.
  fake::add_bmc_fault({fake::BmcFault::kSlow, 20000, 20500, 120000});
  fake::send_control(25000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::send_control(60000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
  fake::send_control(150000, SERVICE_CONTROL_STOP, 0);
  run();
  auto events = fake::events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at_ms, 27000u) << "written when the handler stopped waiting";
  EXPECT_THAT(
      events[0].strings,
      ElementsAre("vyrq4asr error: 1460",
                  "VYR IPMI ASR: timer disable failed at a suspend; the timer stays armed."));
  EXPECT_THAT(ipmi_commands(),
              ElementsAre("Get", "Enable", "Reset", "Reset", "Reset", "Enable", "Disable"))
      << "the delayed disarm is dropped: the resume came before the session was free";
  EXPECT_EQ(request_times(0x24)[1], 140200u) << "the resume's enable, once the call returned";
  EXPECT_THAT(fake::control_results(), ElementsAre(NO_ERROR, NO_ERROR, NO_ERROR));
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0")
      << "the resume armed the timer again and the stop disarmed it";
}

}  // namespace
