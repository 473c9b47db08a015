// Faults the month-long soak found, each replayed on its own: a BMC that is
// busy just as the system suspends or resumes, and a sleep longer than half
// the timeout followed by a busy reply.
#include "service_run.h"
#include "watchdog/session.h"

using ::testing::ElementsAre;

namespace {

class SoakFindings : public ServiceRunWorld {
 protected:
  // Each event as "TYPE|first|text", TYPE one of E, W, I.
  std::vector<std::string> event_lines() {
    std::vector<std::string> out;
    for (const fake::Event &e : fake::events())
      out.push_back(std::string(e.type == EVENTLOG_ERROR_TYPE     ? "E"
                                : e.type == EVENTLOG_WARNING_TYPE ? "W"
                                                                  : "I") +
                    "|" + e.strings.at(0) + "|" + e.strings.at(1));
    return out;
  }
};

TEST_F(SoakFindings, SuspendWhileTheBmcIsBusySaysTheTimerStaysArmed) {
  timeout_seconds = 300;
  fake::add_bmc_fault({fake::BmcFault::kBusy, 15000, 16000});
  fake::send_control(15000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::send_control(20000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_EQ(request_times(0x24).size(), 5u) << "enable, three refused disables, the stop's";
  EXPECT_THAT(event_lines(),
              ElementsAre("E|vyrq4asr error: 1117|VYR IPMI ASR: timer disable failed at a "
                          "suspend; the timer stays armed."))
      << "a system that sleeps with the timer counting may be reset asleep";
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x45d")
      << "the error entry sets the exit code";
}

TEST_F(SoakFindings, BusyReplyAfterALongSleepStartsARideThroughNotAnExit) {
  timeout_seconds = 300;
  fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::at(15060, [] {
    // The system sleeps, before the worker has seen the hold, for longer
    // than half the timeout.
    fake::freeze("");
    Sleep(200000);
    fake::thaw("");
    fake::add_bmc_fault({fake::BmcFault::kBusy, fake::now() + 100, fake::now() + 12100});
    fake::send_control(fake::now(), SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  });
  fake::send_control(260000, SERVICE_CONTROL_STOP, 0);
  run();
  auto events = event_lines();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].substr(0, 2), "W|") << "a warning as the ride-through starts";
  EXPECT_EQ(events.back().substr(0, 2), "I|") << "resets succeed again after the busy spell";
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0")
      << "the sleep, with the timer stopped, must not count against the ride-through";
}

TEST_F(SoakFindings, ResetCallOutlastingASuspendAndALongSleepIsNoGivingUp) {
  timeout_seconds = 300;
  // The reset at 20.2 s fails, its retry at 21.2 s waits 20 s to fail; the
  // suspend's step waits for it, the handler does not, and the system sleeps
  // for longer than half the timeout with the call still out.
  fake::add_bmc_fault({fake::BmcFault::kUnreachable, 20000, 22000, 20000});
  fake::send_control(25000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::at(27100, [] {
    fake::freeze("");
    Sleep(200000);
    fake::thaw("");
    fake::send_control(fake::now(), SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  });
  fake::send_control(260000, SERVICE_CONTROL_STOP, 0);
  run();
  auto events = event_lines();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].substr(0, 2), "W|") << "the ride-through begins";
  EXPECT_EQ(events[1].substr(0, 2), "E|") << "the suspend's disarm did not go out in time";
  EXPECT_EQ(events[2].substr(0, 2), "I|") << "the ride-through ends well after the sleep";
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0")
      << "the sleep must not count against the ride-through; the resume mended the suspend's error";
}

TEST_F(SoakFindings, ResumeWhoseEnableIsRefusedIsArmedAgainByTheNextReset) {
  timeout_seconds = 300;
  fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::add_bmc_fault({fake::BmcFault::kBusy, 20000, 20500});
  fake::send_control(20000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  fake::Bmc seen;
  fake::at(39000, [&seen] { seen = fake::bmc_copy(); });
  fake::send_control(40000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_TRUE(seen.watchdog.running());
  EXPECT_EQ(seen.watchdog.use(), ipmi::kUseSmsOs);
  EXPECT_EQ(seen.watchdog.initial_count(), 3000) << "the installed timeout, not the disable's";
  std::vector<std::string> after_resume;
  for (const fake::IpmiRequest &r : fake::ipmi_requests())
    if (r.at_ms >= 20000 && r.at_ms < 30000)
      after_resume.push_back(std::string(r.command == 0x22 ? "Reset" : "Set ") + "@" +
                             std::to_string(r.at_ms) + (r.completion_out ? " busy" : ""));
  EXPECT_THAT(after_resume,
              ElementsAre("Set @20000 busy", "Set @20200 busy", "Set @21200", "Reset@21200"))
      << "the owed enable goes before each reset, retried once a second, until taken";
}

TEST_F(SoakFindings, StopOutlastingTheWaitWhileTheBmcTakesSecondsToFailSaysSo) {
  timeout_seconds = 300;
  // Unreachable, but counting on: each call after the first waits 9 s to
  // fail (a library without our 3 s bound), so that the stop's disable and
  // its retry outlast the run routine's 16 s.
  fake::add_bmc_fault({fake::BmcFault::kUnreachable, 15000, 200000, 9000});
  fake::send_control(16000, SERVICE_CONTROL_STOP, 0);
  run_service_process();
  fake::end_process();  // the process ends with the final report, its worker with it
  EXPECT_THAT(event_lines(),
              ElementsAre("E|vyrq4asr error: 1460|VYR IPMI ASR exiting; timer disable failed (no "
                          "answer within the stop's wait)."))
      << "the worker was still trying to disable the timer when the process ended";
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002");
  EXPECT_TRUE(fake::bmc().watchdog.running()) << "the BMC counts on and will reset the server";
}

TEST_F(SoakFindings, HoldEndingOnABusyBmcOwesItsEnable) {
  timeout_seconds = 300;
  fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  // No resume notice; the BMC is busy as the hold's bound runs out.
  fake::add_bmc_fault({fake::BmcFault::kBusy, 74000, 77000});
  fake::Bmc seen;
  fake::at(99000, [&seen] { seen = fake::bmc_copy(); });
  fake::send_control(100000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_TRUE(seen.watchdog.running());
  EXPECT_EQ(seen.watchdog.use(), ipmi::kUseSmsOs);
  EXPECT_EQ(seen.watchdog.initial_count(), 3000) << "the installed timeout, not the disable's";
}

}  // namespace
