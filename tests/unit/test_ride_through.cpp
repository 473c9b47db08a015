// Failed resets on a real BMC: busy spells, a library that gets no reply, a
// BMC that restarts and forgets the timer, one that never answers again; and
// a suspend whose resume notice never comes.
#include "service/trace.h"
#include "service_run.h"
#include "watchdog/commands.h"
#include "watchdog/session.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

class RideThrough : public ServiceRunWorld {
 protected:
  // Each event as "TYPE|first|text", TYPE one of E, W, I.
  std::vector<std::string> event_lines() {
    std::vector<std::string> out;
    for (const fake::Event &e : fake::events()) {
      const char *type = e.type == EVENTLOG_ERROR_TYPE         ? "E"
                         : e.type == EVENTLOG_WARNING_TYPE     ? "W"
                         : e.type == EVENTLOG_INFORMATION_TYPE ? "I"
                                                               : "?";
      EXPECT_EQ(e.strings.size(), 2u);
      out.push_back(std::string(type) + "|" + e.strings[0] + "|" + e.strings[1]);
    }
    return out;
  }
  // Requests as "NAME@ms ccXX" (or "sN" for a library status).
  std::vector<std::string> timed_requests() {
    std::vector<std::string> out;
    auto names = ipmi_commands();
    auto all = fake::ipmi_requests();
    char line[80];
    for (size_t i = 0; i < all.size(); i++) {
      if (all[i].status)
        snprintf(line, sizeof line, "%s@%llu s%u", names[i].c_str(),
                 (unsigned long long)all[i].at_ms, all[i].status);
      else
        snprintf(line, sizeof line, "%s@%llu cc%02X", names[i].c_str(),
                 (unsigned long long)all[i].at_ms, all[i].completion_out);
      out.push_back(line);
    }
    return out;
  }
  void expect_stopped_cleanly_at(uint64_t stop_ms) {
    auto r = reports();
    EXPECT_EQ(r.back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0")
        << "warnings and information entries must not change the exit code";
    EXPECT_EQ(std::count(r.begin(), r.end(), "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0"), 1)
        << "the service must stay RUNNING until the stop";
    auto disables = request_times(0x24);
    ASSERT_FALSE(disables.empty());
    EXPECT_LE(disables.back() - stop_ms, 100u) << "a stop is seen within one tick";
    EXPECT_FALSE(fake::bmc().watchdog.running()) << "the stop must leave the timer stopped";
    EXPECT_EQ(exit_code_of("thread1"), 0);
  }
};

const char *kBusyWarning =
    "W|vyrq4asr warning: 1117|VYR IPMI ASR: timer reset failed (completion code C0h); retrying "
    "once a second.";

TEST_F(RideThrough, BusyThreeTimesThenAnswered) {
  for (int nth : {2, 3, 4}) fake::script_reply(0x22, nth, 0, 0xC0);
  fake::send_control(30000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(timed_requests(),
              ElementsAre("Get@0 cc00", "Enable@0 cc00", "Reset@0 cc00", "Reset@10100 ccC0",
                          "Reset@11100 ccC0", "Reset@12100 ccC0", "Reset@13100 cc00",
                          "Reset@23200 cc00", "Disable@30100 cc00"))
      << "retried once a second; the 101-tick cadence restarts at the first success";
  EXPECT_THAT(event_lines(),
              ElementsAre(kBusyWarning,
                          "I|vyrq4asr|VYR IPMI ASR: timer resets succeed again after 3.0 s; the "
                          "timer kept its settings."))
      << "one warning and one information entry per episode, never one per retry";
  expect_stopped_cleanly_at(30000);
}

TEST_F(RideThrough, NoReplyForFortySecondsThenAnswered) {
  timeout_seconds = 300;
  fake::script_outage(10000, 50000, 5, 0xFF, false);
  fake::send_control(70000, SERVICE_CONTROL_STOP, 0);
  run();
  auto resets = request_times(0x22);
  ASSERT_GE(resets.size(), 43u);
  EXPECT_EQ(resets[1], 10100u);
  for (size_t i = 2; i < 42; i++) EXPECT_EQ(resets[i] - resets[i - 1], 1000u) << "retry " << i;
  EXPECT_EQ(resets[41], 50100u) << "the first reset after the outage is taken";
  EXPECT_EQ(resets[42], 60200u);
  EXPECT_THAT(event_lines(),
              ElementsAre("W|vyrq4asr warning: 1460|VYR IPMI ASR: timer reset failed (no reply, "
                          "library status 5); retrying once a second.",
                          "I|vyrq4asr|VYR IPMI ASR: timer resets succeed again after 40.0 s; the "
                          "timer kept its settings."));
  expect_stopped_cleanly_at(70000);
}

TEST_F(RideThrough, BmcRestartAnswers80hAndIsArmedAgain) {
  timeout_seconds = 300;
  fake::script_outage(10000, 30000, 6, 0xFF, true);  // a restart with a 20 s outage
  fake::send_control(45000, SERVICE_CONTROL_STOP, 0);
  run();
  auto all = timed_requests();
  std::vector<std::string> after(all.begin() + 23, all.end());
  EXPECT_EQ(all[22], "Reset@29100 s6");
  EXPECT_THAT(after, ElementsAre("Reset@30100 cc80", "Enable@30100 cc00", "Reset@30100 cc00",
                                 "Reset@40200 cc00", "Disable@45100 cc00"))
      << "80h: the enable with the installed count, then the reset, at once";
  EXPECT_THAT(fake::ipmi_requests()[24].data, ElementsAre(0x44, 0x01, 0x00, 0x10, 0xB8, 0x0B));
  EXPECT_THAT(event_lines(),
              ElementsAre("W|vyrq4asr warning: 1460|VYR IPMI ASR: timer reset failed (no reply, "
                          "library status 6); retrying once a second.",
                          "I|vyrq4asr|VYR IPMI ASR: timer resets succeed again after 20.0 s; the "
                          "timer was armed again."));
  expect_stopped_cleanly_at(45000);
}

TEST_F(RideThrough, InstantRestartWarnsOfTheLostSettings) {
  fake::script_outage(5000, 5000, 0, 0, true);
  fake::send_control(12000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(ipmi_commands(),
              ElementsAre("Get", "Enable", "Reset", "Reset", "Enable", "Reset", "Disable"));
  EXPECT_THAT(event_lines(),
              ElementsAre("W|vyrq4asr warning: 1117|VYR IPMI ASR: the BMC has lost the watchdog "
                          "settings (completion code 80h); arming the timer again.",
                          "I|vyrq4asr|VYR IPMI ASR: timer resets succeed again after 0.0 s; the "
                          "timer was armed again."));
  expect_stopped_cleanly_at(12000);
}

TEST_F(RideThrough, NoAnswerForHalfTheTimeoutEndsTheService) {
  timeout_seconds = 250;
  fake::script_outage(10000, 1000000, 5, 0xFF, false);
  run();
  auto resets = request_times(0x22);
  EXPECT_EQ(resets.back(), 125100u) << "the first retry at or past 125 s after the last success";
  EXPECT_EQ(resets.size(), 1u + 116u) << "one at once, then every second from 10.1 s";
  auto names = ipmi_commands();
  std::vector<std::string> tail(names.end() - 4, names.end());
  EXPECT_THAT(tail, ElementsAre("Reset", "Disable", "Disable", "Disable"))
      << "the disable is tried three times";
  EXPECT_THAT(event_lines(),
              ElementsAre("W|vyrq4asr warning: 1460|VYR IPMI ASR: timer reset failed (no reply, "
                          "library status 5); retrying once a second.",
                          "E|vyrq4asr error: 1460|VYR IPMI ASR exiting; timer reset failed."));
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002");
  EXPECT_EQ(stopped_at(), 125100u + 200u + 2000u);
  EXPECT_EQ(exit_code_of("thread1"), 0xFFFFFFFF);
  EXPECT_EQ(fake::library_refcount(), 0);
  EXPECT_THAT(fake::journal("CloseQD4Driver"), ElementsAre("CloseQD4Driver 0x5e55 -> 0"));
}

TEST_F(RideThrough, ResetsRefusedForHalfTheTimeoutAreDisarmed) {
  trace_enabled = 1;
  timeout_seconds = 300;
  fake::script_reply(0x22, 0, 0, 0xD5);
  run();
  auto resets = request_times(0x22);
  EXPECT_EQ(resets.back(), 150000u);
  EXPECT_FALSE(fake::bmc().watchdog.running());
  EXPECT_THAT(event_lines(),
              ElementsAre("W|vyrq4asr warning: 1117|VYR IPMI ASR: timer reset failed (completion "
                          "code D5h); retrying once a second.",
                          "E|vyrq4asr error: 1117|VYR IPMI ASR exiting; timer reset failed."));
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002");
}

TEST_F(RideThrough, StopDuringTheRideThroughIsHonouredAtOnce) {
  fake::script_outage(10000, 14500, 0, 0xC0, false);
  fake::send_control(14550, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_EQ(request_times(0x22).back(), 14100u) << "no reset once the stop is seen";
  EXPECT_THAT(event_lines(), ElementsAre(kBusyWarning));
  expect_stopped_cleanly_at(14550);
}

TEST_F(RideThrough, StopDuringTheStartsBusyEnableEndsItsTriesAtOnce) {
  fake::script_reply(0x24, 0, 0, 0xC0);
  fake::send_control(1050, SERVICE_CONTROL_STOP, 0);
  run();
  auto sets = request_times(0x24);
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.back(), 1000u) << "tried every 200 ms, and no more once the stop came";
  EXPECT_THAT(event_lines(), ::testing::IsEmpty()) << "a stop is no failed start";
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
  EXPECT_FALSE(fake::bmc().watchdog.initialised()) << "the timer stays as it was found";
}

TEST_F(RideThrough, LostResumeNoticeEndsTheHoldAfterSixtySeconds) {
  timeout_seconds = 300;
  fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::send_control(80000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(timed_requests(),
              ElementsAre("Get@0 cc00", "Enable@0 cc00", "Reset@0 cc00", "Disable@5000 cc00",
                          "Enable@65000 cc00", "Reset@65000 cc00", "Reset@75100 cc00",
                          "Disable@80100 cc00"))
      << "no reset while held; 600 ticks later the timer is armed again and restarted";
  EXPECT_THAT(event_lines(), ElementsAre("W|vyrq4asr warning: 0|VYR IPMI ASR: no resume notice 60 "
                                         "s after a suspend; the timer is armed again."));
  expect_stopped_cleanly_at(80000);
}

TEST_F(RideThrough, ResumeInTimeKeepsTheHoldSilent) {
  fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  fake::send_control(50000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  fake::send_control(65000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Disable", "Enable", "Reset",
                                           "Reset", "Disable"));
  EXPECT_THAT(request_times(0x22), ElementsAre(0, 50500, 60600))
      << "resets come back with the cadence after the resume";
  EXPECT_TRUE(fake::events().empty());
  expect_stopped_cleanly_at(65000);
}

}  // namespace
