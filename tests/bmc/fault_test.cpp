// bmcsim's fault injection, steered through its control port while it runs.
#include <gtest/gtest.h>

#include "sim_harness.h"

namespace {

using bmctest::Answer;
using bmctest::hex;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kReset = 0x22;
constexpr uint8_t kSet = 0x24;
constexpr uint8_t kGet = 0x25;
const Bytes kEnable = {0x44, 0x01, 0x00, 0x10, 0xB8, 0x0B};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.started()) << sim_.start_error();
    ASSERT_TRUE(host_.connect(sim_.port()));
  }
  bmctest::Sim sim_;
  bmctest::Host host_;
};

TEST_F(FaultTest, CompletionCodeForTheNextNRequestsWhichAreNotCarriedOut) {
  ASSERT_EQ("ok", sim_.control("cc 2 c0"));
  Answer set = host_.ask(kSet, kEnable);
  ASSERT_TRUE(set.received);
  EXPECT_EQ(0xC0, set.cc) << "first request after 'cc 2 c0'";
  EXPECT_TRUE(set.data.empty()) << "an error reply carries no data, got " << hex(set.data);
  EXPECT_EQ(0xC0, host_.ask(kGet).cc) << "second request after 'cc 2 c0'";
  // The refused Set did nothing: the timer is still uninitialised.
  EXPECT_EQ(0x80, host_.ask(kReset).cc) << "third request: back to normal";
  EXPECT_EQ(2u, sim_.journal_matching({"\"kind\":\"fault\"", "\"fault\":\"cc\""}).size());
}

TEST_F(FaultTest, LateAndMissingRepliesThenNormalService) {
  ASSERT_EQ("ok", sim_.control("delay 1 400"));
  Answer late = host_.ask(kSet, kEnable);
  ASSERT_TRUE(late.received) << "the delayed reply never came";
  EXPECT_EQ(0x00, late.cc);
  EXPECT_GE(late.elapsed_ms, 380) << "reply came before the 400 ms delay";
  Answer next = host_.ask(kGet);
  EXPECT_LT(next.elapsed_ms, 300) << "the request after the delayed one was slow";
  ASSERT_EQ(8u, next.data.size());
  EXPECT_EQ(0xB8, next.data[4]) << "the delayed Set was carried out";

  ASSERT_EQ("ok", sim_.control("noreply 1"));
  uint8_t lost_seq = host_.next_seq();
  ASSERT_TRUE(host_.send_request(lost_seq, bmctest::kNetfnApp, kReset, {}));
  EXPECT_FALSE(host_.await_reply(lost_seq, 600).received) << "'noreply 1' still answered";
  Answer after = host_.ask(kGet);
  ASSERT_TRUE(after.received) << "the request after the unanswered one got no reply";
  ASSERT_EQ(8u, after.data.size());
  EXPECT_EQ(0, after.data[0] & 0x40) << "the unanswered Reset must not start the timer";

  // clear ends a fault before its count runs out.
  ASSERT_EQ("ok", sim_.control("noreply 5"));
  ASSERT_EQ("ok", sim_.control("clear"));
  EXPECT_TRUE(host_.ask(kGet).received) << "a request after 'clear' got no reply";
}

TEST_F(FaultTest, DisconnectDropsTheHostWhichMayReconnect) {
  ASSERT_TRUE(host_.ask(kGet).received);
  ASSERT_EQ("ok", sim_.control("disconnect"));
  EXPECT_TRUE(host_.await_closed(1000)) << "the host's connection stayed open";
  ASSERT_TRUE(host_.connect(sim_.port()));
  EXPECT_TRUE(host_.ask(kGet).received) << "no reply after reconnecting";
  EXPECT_EQ(1u, sim_.journal_matching({"\"kind\":\"disconnect\"", "\"reason\":\"control\""}).size())
      << sim_.journal_text();
}

TEST_F(FaultTest, TimerOwnedByOtherSoftwareAndStatus) {
  ASSERT_EQ("ok", sim_.control("run-timer 600"));
  Answer get = host_.ask(kGet);
  ASSERT_EQ(8u, get.data.size());
  EXPECT_EQ(0x44, get.data[0]) << "SMS/OS running expected, got " << hex(get.data);
  EXPECT_EQ(0x00, get.data[1] & 0x07) << "the foreign timer has no action";
  std::string status = sim_.control("status");
  EXPECT_EQ(0u, status.find("ok {")) << status;
  EXPECT_NE(std::string::npos, status.find("\"running\":true")) << status;
  EXPECT_NE(std::string::npos, status.find("\"initial\":600")) << status;
  // A BIOS's timer: OS Load (3), power cycle (3); a record added by hand.
  ASSERT_EQ("ok", sim_.control("run-timer 900 3 3"));
  get = host_.ask(kGet);
  ASSERT_EQ(8u, get.data.size());
  EXPECT_EQ("43038403", hex(Bytes(get.data.begin(), get.data.begin() + 2)) +
                            hex(Bytes(get.data.begin() + 4, get.data.begin() + 6)))
      << "OS Load running, power cycle, 900";
  ASSERT_EQ("ok", sim_.control("sel-add 23 01 04"));
  ASSERT_EQ("ok", sim_.control("sel-fill 3"));
  EXPECT_NE(std::string::npos, sim_.control("status").find("\"sel_entries\":4"));
  Answer entry = host_.ask(0x43, {0, 0, 0, 0, 0, 0xFF}, 2000, 0x28);
  ASSERT_EQ(18u, entry.data.size()) << hex(entry.data);
  EXPECT_EQ("23006fc104", hex(Bytes(entry.data.begin() + 12, entry.data.begin() + 17)));
  ASSERT_EQ("ok", sim_.control("sel-none"));
  EXPECT_EQ(0xC1, host_.ask(0x40, {}, 2000, 0x28).cc) << "no SEL: invalid command";
}

TEST_F(FaultTest, BadControlLinesAndBrokenFramesAreReportedNotFatal) {
  for (const char* line :
       {"cc 1", "cc x c0", "cc 1 1c0", "delay 1 -5", "noreply 0", "badreply 1 lun", "badreply 1",
        "stream 0", "stream 1 2", "bogus", "status now", "", "run-timer 10 6", "run-timer 10 3 4",
        "sel-add 23", "sel-add 23 10", "sel-fill 0", "pretimeout-refuse 0",
        "pretimeout-refuse c9 1"}) {
    EXPECT_EQ(0u, sim_.control(line).find("error ")) << "control line '" << line << "'";
  }
  // A request with a broken checksum is dropped; the next is served.
  ASSERT_TRUE(host_.send_bytes({0x05, 0x18, 0x25, 0x00, 0xA0}));
  EXPECT_TRUE(host_.ask(kGet).received) << "no reply after a broken frame";
  EXPECT_EQ(1u,
            sim_.journal_matching({"\"kind\":\"frame_error\"", "\"error\":\"checksum\""}).size())
      << sim_.journal_text();
}

TEST(FaultStartState, TimerRunningFlagStartsTheForeignTimer) {
  bmcsim::Options o;
  o.timer_running = true;
  o.timer_count = 1200;
  o.control_lines = {"cc 1 c3"};
  bmctest::Sim sim(o);
  ASSERT_TRUE(sim.started()) << sim.start_error();
  bmctest::Host host;
  ASSERT_TRUE(host.connect(sim.port()));
  EXPECT_EQ(0xC3, host.ask(kGet).cc) << "the --control fault given at start";
  Answer get = host.ask(kGet);
  ASSERT_EQ(8u, get.data.size());
  EXPECT_EQ(0x40, get.data[0] & 0x40) << "--timer-running: running expected, got " << hex(get.data);
  EXPECT_EQ(1200u, unsigned(get.data[4] | get.data[5] << 8));

  o.control_lines = {"cc 1 zz"};
  bmctest::Sim broken(o);
  EXPECT_FALSE(broken.started()) << "a bad --control line must refuse to start";
}

}  // namespace
