// The control handler during a service run: power events around suspend and
// resume, interrogate and other controls.
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

TEST_F(Controls, PowerEventsTraceAndReReport) {
  trace_enabled = 1;
  fake::send_control(1000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPENDFAILED);
  fake::send_control(2000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
  fake::send_control(3000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  fake::send_control(4000, SERVICE_CONTROL_STOP, 0);
  run();
  auto traces = fake::journal("OutputDebugStringA Service_ctrl power");
  EXPECT_THAT(traces, ElementsAre("OutputDebugStringA Service_ctrl power default\n",
                                  "OutputDebugStringA Service_ctrl power suspend\n",
                                  "OutputDebugStringA Service_ctrl power resume\n"));
  EXPECT_THAT(fake::journal("OutputDebugStringA ctrl entry"),
              ElementsAre("OutputDebugStringA ctrl entry, code = d\n",
                          "OutputDebugStringA ctrl entry, code = d\n",
                          "OutputDebugStringA ctrl entry, code = d\n",
                          "OutputDebugStringA ctrl entry, code = 1\n"));
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

TEST_F(Controls, ControlsDuringTheOwnershipCheckNeverTouchTheTimer) {
  // The Get takes 500 ms; the controls come during it, before the timer is
  // known to be free.
  struct Row {
    const char *what;
    std::vector<DWORD> power_events;
    bool stop;
    std::vector<std::string> commands;
  } rows[] = {
      {"a suspend: held until the resume at 5 s",
       {PBT_APMSUSPEND},
       false,
       {"Get", "Enable", "Enable", "Reset", "Disable"}},
      {"a suspend and a resume: armed and fed as usual",
       {PBT_APMSUSPEND, PBT_APMRESUMESUSPEND},
       false,
       {"Get", "Enable", "Reset", "Enable", "Reset", "Disable"}},
      {"a stop: no enable, no reset", {}, true, {"Get"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    fake::reset();
    reset_system_state();
    fake::before("SendQD4Request", 1, [] { Sleep(500); });
    uint64_t at = 100;
    for (DWORD type : row.power_events) fake::send_control(at++, SERVICE_CONTROL_POWEREVENT, type);
    if (row.stop) fake::send_control(200, SERVICE_CONTROL_STOP, 0);
    fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
    fake::send_control(12000, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_THAT(ipmi_commands(), ::testing::ElementsAreArray(row.commands));
    EXPECT_EQ(fake::ipmi_requests()[0].at_ms, 500u);
    EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    EXPECT_FALSE(fake::bmc().watchdog.running());
  }
}

TEST_F(Controls, SuspendBeforeTheSessionOpensHoldsTheFirstReset) {
  // The suspend arrives while the worker is still starting: once it arms the
  // timer it must not start it before the resume.
  fake::before("OpenQD4Driver", 1, [] {
    control_handler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, nullptr);
  });
  fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
  fake::send_control(12000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(request_times(0x22), ElementsAre(10100))
      << "the first reset may come only after the resume";
  EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Enable", "Reset", "Disable"));
}

}  // namespace
