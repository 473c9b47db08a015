// The four watchdog requests byte for byte, and how their replies are judged.
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/driver_library.h"
#include "world.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

class WatchdogCommands : public World {
 protected:
  WatchdogSession session = 0;
  void SetUp() override {
    World::SetUp();
    ASSERT_TRUE(load_driver_library());
    ASSERT_EQ(driver_open(&session), 0u);
  }
  fake::IpmiRequest last() {
    auto r = fake::ipmi_requests();
    EXPECT_FALSE(r.empty()) << "expected a request to reach the driver library";
    return r.empty() ? fake::IpmiRequest{} : r.back();
  }
};

void expect_common_shape(const fake::IpmiRequest &r, WatchdogSession session) {
  EXPECT_EQ(r.session, session);
  EXPECT_EQ(r.netfn_lun, 0x18) << "App netfn 06h, LUN 0";
  EXPECT_EQ(r.responder, 0x20) << "BMC address";
  EXPECT_TRUE(r.buffer_zeroed) << "response buffer must be zero-filled before the call";
  EXPECT_EQ(r.response_length_in, 64);
  EXPECT_EQ(r.completion_in, 0xFF) << "completion code must be preset to 0xFF";
  EXPECT_EQ(r.reserved, 0u);
}

TEST_F(WatchdogCommands, EnableCarriesTimeoutInHundredMillisecondUnits) {
  // With a pre-timeout: an NMI (interrupt 2, bits 6..4) that many seconds early.
  struct Case {
    WORD seconds;
    BYTE pretimeout;
    BYTE actions, low, high;
  } cases[] = {{250, 0, 0x01, 0xC4, 0x09},
               {255, 0, 0x01, 0xF6, 0x09},
               {3200, 0, 0x01, 0x00, 0x7D},
               {250, 95, 0x21, 0xC4, 0x09},
               {3200, 255, 0x21, 0x00, 0x7D}};
  for (const Case &c : cases) {
    timeout_seconds = c.seconds;
    EXPECT_EQ(wd_enable(session, EnableSettings{c.pretimeout, 0}), 0);
    fake::IpmiRequest r = last();
    expect_common_shape(r, session);
    EXPECT_EQ(r.command, 0x24);
    EXPECT_FALSE(r.data_null);
    EXPECT_THAT(r.data, ElementsAre(0x44, c.actions, c.pretimeout, 0x10, c.low, c.high))
        << "timeout " << c.seconds << " s, pre-timeout " << int(c.pretimeout) << " s";
  }
}

TEST_F(WatchdogCommands, DisableStopsTimerWithFixedCount) {
  EXPECT_EQ(wd_enable(session, EnableSettings{95, 0}), 0);
  EXPECT_EQ(wd_disable(session), 0);  // and clears the enable's pre-timeout
  fake::IpmiRequest r = last();
  expect_common_shape(r, session);
  EXPECT_EQ(r.command, 0x24);
  EXPECT_THAT(r.data, ElementsAre(0x04, 0x01, 0x00, 0x10, 0x00, 0x0A));
}

TEST_F(WatchdogCommands, ResetAndGetSendNoData) {
  wd_enable(session, EnableSettings{});
  EXPECT_EQ(wd_reset(session), 0);
  fake::IpmiRequest r = last();
  expect_common_shape(r, session);
  EXPECT_EQ(r.command, 0x22);
  EXPECT_TRUE(r.data_null) << "reset must pass a null pointer";
  EXPECT_THAT(r.data, IsEmpty());

  EXPECT_EQ(wd_is_running(session), 1);
  r = last();
  expect_common_shape(r, session);
  EXPECT_EQ(r.command, 0x25);
  EXPECT_TRUE(r.data_null) << "get must pass a null pointer";
}

TEST_F(WatchdogCommands, RunningBitOfGetReply) {
  EXPECT_EQ(wd_is_running(session), 0) << "a timer never set is stopped";
  fake::bmc().watchdog.start_running(ipmi::kUseSmsOs, ipmi::kActionNone, 2550, 0);
  EXPECT_EQ(wd_is_running(session), 1) << "timer use byte 0x44";
  // SMS/OS, no action, 255 s, without don't-stop: the Set stops the timer.
  const BYTE stop[ipmi::kSetRequestLength] = {0x04, 0x00, 0x00, 0x00, 0xF6, 0x09};
  ASSERT_EQ(fake::bmc().watchdog.set(stop, sizeof stop, 0), ipmi::kCcOk);
  EXPECT_EQ(wd_is_running(session), 0) << "timer use byte 0x04";
  // Short replies: the first byte is all the check reads.
  fake::bmc().watchdog.start_running(ipmi::kUseSmsOs, ipmi::kActionNone, 2550, 0);
  for (WORD length : {6, 1}) {
    fake::limit_reply_length(0x25, length);
    EXPECT_EQ(wd_is_running(session), 1) << length << " data bytes";
  }
  fake::limit_reply_length(0x25, 0);
  RequestOutcome outcome;
  EXPECT_EQ(wd_is_running(session, &outcome), -1) << "cc 00 without data is no answer";
  EXPECT_EQ(outcome.length, 0);
}

TEST_F(WatchdogCommands, FailureIsNonZeroStatusOrNonZeroCompletionCode) {
  // Busy (C0h) with a call status of 0 is still a failure.
  fake::script_reply(0x24, 0, 0, 0xC0);
  fake::script_reply(0x22, 0, 0, 0xC0);
  fake::script_reply(0x25, 0, 0, 0xC0);
  EXPECT_EQ(wd_enable(session, EnableSettings{}), -1);
  EXPECT_EQ(wd_disable(session), -1);
  EXPECT_EQ(wd_reset(session), -1);
  EXPECT_EQ(wd_is_running(session), -1) << "a failed Get gives -1";
  fake::reset();
  ASSERT_TRUE(load_driver_library());
  ASSERT_EQ(driver_open(&session), 0u);
  fake::script_reply(0x24, 0, 5, 0x00);
  fake::script_reply(0x25, 0, 1, 0x00);
  EXPECT_EQ(wd_enable(session, EnableSettings{}), -1) << "non-zero call status";
  EXPECT_EQ(wd_is_running(session), -1);
}

}  // namespace
