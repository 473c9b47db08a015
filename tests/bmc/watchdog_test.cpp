// bmcsim's watchdog as IPMI 2.0 section 27 defines it: the model on a clock of
// the test's own, then its server's actions through the VM port.
#include "bmcsim/watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim_harness.h"

namespace {

using bmctest::Answer;
using bmctest::hex;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGetDeviceId = 0x01;
constexpr uint8_t kReset = 0x22;
constexpr uint8_t kSet = 0x24;
constexpr uint8_t kGet = 0x25;

// Set Watchdog Timer data (section 27.6): use, actions, pre-timeout s,
// flags to clear, count in 100 ms.
Bytes set_data(uint8_t use, uint8_t actions, uint16_t count, uint8_t clear = 0x10,
               uint8_t pretimeout = 0) {
  return {use,
          actions,
          pretimeout,
          clear,
          static_cast<uint8_t>(count & 0xFF),
          static_cast<uint8_t>(count >> 8)};
}

std::string event_text(const bmcsim::WatchdogEvent* events, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    const bmcsim::WatchdogEvent& e = events[i];
    if (i) s += ", ";
    s += e.kind == bmcsim::WatchdogEvent::kExpiry
             ? "expiry " + std::to_string(e.use) + " " + std::to_string(e.action)
             : "pretimeout " + std::to_string(e.pretimeout);
  }
  return s;
}

enum Op { kSetOp, kResetOp, kPollOp, kLoseOp, kRefuseOp };
struct Step {
  int64_t at_ms;
  Op op;
  Bytes data;          // kSetOp's request data
  int cc;              // kSetOp, kResetOp: the completion code
  const char* events;  // kPollOp: what fell due ("expiry USE ACTION", "pretimeout IRQ")
  const char* get;     // the Get reply data afterwards; "" for no check
};
struct Case {
  const char* name;
  std::vector<Step> steps;
};

// The Get reply: use (with running 40h, don't log 80h), actions, pre-timeout
// s, expiration flags, initial count LSB MSB, present count LSB MSB.
TEST(WatchdogModel, EachBehaviourAsAScriptOfRequestsAndPolls) {
  const Case cases[] = {
      {"a Reset before any Set is refused with 80h and starts nothing",
       {{0, kResetOp, {}, 0x80, "", "00 00 00 00 00 00 00 00"}}},
      {"a Reset starts a don't-stop Set's stopped timer; the run-out stops it and flags its use",
       {{0, kSetOp, set_data(0x44, 0x01, 25), 0x00, "", "04 01 00 00 19 00 19 00"},
        {0, kResetOp, {}, 0x00, "", "44 01 00 00 19 00 19 00"},
        {2499, kPollOp, {}, 0, "", "44 01 00 00 19 00 01 00"},
        {2500, kPollOp, {}, 0, "expiry 4 1", "04 01 00 10 19 00 00 00"},
        {2500, kSetOp, set_data(0x44, 0x01, 25, 0x00), 0x00, "", "04 01 00 10 19 00 19 00"},
        {2500, kSetOp, set_data(0x44, 0x01, 25, 0x10), 0x00, "", "04 01 00 00 19 00 19 00"}}},
      {"a don't-stop Set reloads a running timer; a Set without it stops the timer",
       {{0, kSetOp, set_data(0x44, 0x01, 100), 0x00, "", ""},
        {0, kResetOp, {}, 0x00, "", ""},
        {9000, kSetOp, set_data(0x44, 0x01, 50), 0x00, "", "44 01 00 00 32 00 32 00"},
        {13999, kPollOp, {}, 0, "", "44 01 00 00 32 00 01 00"},
        {14000, kPollOp, {}, 0, "expiry 4 1", ""},
        {14000, kResetOp, {}, 0x00, "", "44 01 00 10 32 00 32 00"},
        {15000, kSetOp, set_data(0x04, 0x01, 50), 0x00, "", "04 01 00 00 32 00 32 00"},
        {80000, kPollOp, {}, 0, "", "04 01 00 00 32 00 32 00"}}},
      {"malformed or reserved Sets are refused and change nothing",
       {{0, kSetOp, {0x04, 0x01, 0x00, 0x10, 0x0A}, 0xC7, "", ""},
        {0, kSetOp, {0x04, 0x01, 0x00, 0x10, 0x0A, 0x00, 0x00}, 0xC7, "", ""},
        {0, kSetOp, set_data(0x00, 0x01, 100), 0xCC, "", ""},
        {0, kSetOp, set_data(0x06, 0x01, 100), 0xCC, "", ""},
        {0, kSetOp, set_data(0x04, 0x04, 100), 0xCC, "", ""},
        {0, kSetOp, set_data(0x04, 0x41, 100), 0xCC, "", ""},
        {0, kSetOp, set_data(0x04, 0x21, 5, 0x10, 1), 0xCC, "", "00 00 00 00 00 00 00 00"},
        {0, kResetOp, {}, 0x80, "", ""}}},
      {"the pre-timeout interrupt comes its interval before the run-out",
       {{0, kSetOp, set_data(0x04, 0x21, 15, 0x00, 1), 0x00, "", "04 21 01 00 0F 00 0F 00"},
        {0, kResetOp, {}, 0x00, "", ""},
        {499, kPollOp, {}, 0, "", ""},
        {500, kPollOp, {}, 0, "pretimeout 2", ""},
        {1499, kPollOp, {}, 0, "", ""},
        {1500, kPollOp, {}, 0, "expiry 4 1", "04 21 01 10 0F 00 00 00"},
        {1500, kSetOp, set_data(0x04, 0x11, 10, 0x10, 1), 0x00, "", ""},
        {1500, kResetOp, {}, 0x00, "", ""},
        {3000, kPollOp, {}, 0, "pretimeout 1, expiry 4 1", ""}}},
      {"a Reset after the pre-timeout interrupt leaves the countdown running; a Set restarts it",
       {{0, kSetOp, set_data(0x44, 0x21, 30, 0x10, 1), 0x00, "", ""},
        {0, kResetOp, {}, 0x00, "", ""},
        {2000, kPollOp, {}, 0, "pretimeout 2", ""},
        {2500, kResetOp, {}, 0x00, "", "44 21 01 00 1E 00 05 00"},
        {3000, kPollOp, {}, 0, "expiry 4 1", ""},
        {3000, kResetOp, {}, 0x00, "", "44 21 01 10 1E 00 1E 00"},
        {5000, kPollOp, {}, 0, "pretimeout 2", ""},
        {5500, kSetOp, set_data(0x44, 0x21, 30, 0x10, 1), 0x00, "", "44 21 01 00 1E 00 1E 00"},
        {7500, kResetOp, {}, 0x00, "", "44 21 01 00 1E 00 1E 00"}}},
      {"a BMC without the pre-timeout refuses a Set asking for one, also after a restart",
       {{0, kRefuseOp, {}, 0, "", ""},
        {0, kSetOp, set_data(0x44, 0x21, 30, 0x10, 1), 0xCC, "", "00 00 00 00 00 00 00 00"},
        {0, kSetOp, set_data(0x44, 0x01, 30), 0x00, "", "04 01 00 00 1E 00 1E 00"},
        {0, kLoseOp, {}, 0, "", ""},
        {0, kSetOp, set_data(0x44, 0x11, 30, 0x10, 1), 0xCC, "", "00 00 00 00 00 00 00 00"}}},
      {"each timer use flags its own run-out; a Set clears only the flags it names",
       {{0, kSetOp, set_data(0x83, 0x02, 2, 0x00), 0x00, "", ""},
        {0, kResetOp, {}, 0x00, "", "C3 02 00 00 02 00 02 00"},
        {200, kPollOp, {}, 0, "expiry 3 2", "83 02 00 08 02 00 00 00"},
        {200, kSetOp, set_data(0x05, 0x00, 2, 0x30), 0x00, "", "05 00 00 08 02 00 02 00"},
        {200, kResetOp, {}, 0x00, "", ""},
        {400, kPollOp, {}, 0, "expiry 5 0", "05 00 00 28 02 00 00 00"},
        {400, kSetOp, set_data(0x05, 0x00, 2, 0xFF), 0x00, "", "05 00 00 00 02 00 02 00"}}},
      {"a BMC restart loses the settings and the running timer, not the flags",
       {{0, kSetOp, set_data(0x43, 0x01, 2, 0x00), 0x00, "", ""},
        {0, kResetOp, {}, 0x00, "", ""},
        {200, kPollOp, {}, 0, "expiry 3 1", ""},
        {200, kResetOp, {}, 0x00, "", "43 01 00 08 02 00 02 00"},
        {300, kLoseOp, {}, 0, "", "00 00 00 08 00 00 00 00"},
        {300, kResetOp, {}, 0x80, "", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bmcsim::Watchdog wd;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i + 1) + " at " + std::to_string(s.at_ms) + " ms");
      bmcsim::WatchdogEvent events[2];
      switch (s.op) {
        case kSetOp:
          EXPECT_EQ(s.cc, wd.set(s.data.data(), s.data.size(), s.at_ms)) << "Set completion code";
          break;
        case kResetOp:
          EXPECT_EQ(s.cc, wd.reset(s.at_ms)) << "Reset completion code";
          break;
        case kPollOp:
          EXPECT_EQ(s.events, event_text(events, wd.poll(s.at_ms, events, 2)));
          break;
        case kLoseOp:
          wd.lose_settings();
          break;
        case kRefuseOp:
          wd.refuse_pretimeout(true);
          break;
      }
      if (*s.get) {
        uint8_t r[8];
        wd.get(s.at_ms, r);
        char text[32];
        snprintf(text, sizeof text, "%02X %02X %02X %02X %02X %02X %02X %02X", r[0], r[1], r[2],
                 r[3], r[4], r[5], r[6], r[7]);
        EXPECT_EQ(std::string(s.get), text) << "Get reply";
      }
    }
  }
}

class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.started()) << sim_.start_error();
    ASSERT_TRUE(host_.connect(sim_.port()));
  }
  uint8_t cc(uint8_t command, const Bytes& data = {}) {
    Answer a = host_.ask(command, data);
    EXPECT_TRUE(a.received) << "no reply to command " << int(command);
    return a.cc;
  }
  bmctest::Sim sim_;
  bmctest::Host host_;
};

TEST_F(WatchdogTest, DeviceIdAndTheAnswersToUnknownOrMalformedRequests) {
  Answer id = host_.ask(kGetDeviceId);
  ASSERT_TRUE(id.received);
  EXPECT_EQ(0x00, id.cc);
  ASSERT_EQ(11u, id.data.size()) << "Get Device ID data: " << hex(id.data);
  EXPECT_EQ(0x02, id.data[4]) << "IPMI version 2.0 expected";

  EXPECT_EQ(0xC1, cc(0x99)) << "unknown App command";
  Answer storage = host_.ask(kReset, {}, 2000, 0x0A << 2);
  EXPECT_EQ(0xC1, storage.cc) << "Reset Watchdog in the Storage netfn is no command";
  EXPECT_EQ(0xC7, cc(kGet, {0x00})) << "Get with a data byte";
  EXPECT_EQ(0xC7, cc(kReset, {0x00})) << "Reset with a data byte";
  EXPECT_EQ(0xCC, cc(kSet, set_data(0x00, 0x01, 100))) << "timer use 0 is reserved";
}

TEST_F(WatchdogTest, HardResetExpirySendsTheResetCommandOnTime) {
  ASSERT_EQ(0x00, cc(kSet, set_data(0x44, 0x01, 4)));
  int64_t start = bmctest::now_ms();
  ASSERT_EQ(0x00, cc(kReset));
  int command = host_.await_command(3000);
  int64_t waited = bmctest::now_ms() - start;
  EXPECT_EQ(0x04, command) << "expected the VM reset command";
  EXPECT_GE(waited, 350) << "expiry came before the 400 ms count";
  EXPECT_LE(waited, 1400) << "expiry came late";
  EXPECT_EQ(1u, sim_.journal_matching({"\"kind\":\"expiry\"", "\"use\":\"SMS/OS\""}).size())
      << sim_.journal_text();
  EXPECT_EQ(
      1u, sim_.journal_matching(
                  {"\"kind\":\"action\"", "\"action\":\"hard reset\"", "\"delivered\":true"}, 1000)
              .size())
      << sim_.journal_text();
  // The expiry's Watchdog 2 record (table 42-3): hard reset (01h), SMS/OS.
  Answer entry = host_.ask(0x43, {0, 0, 0xFF, 0xFF, 0, 0xFF}, 2000, 0x28);
  ASSERT_EQ(18u, entry.data.size()) << hex(entry.data);
  EXPECT_EQ("ffff010002", hex(Bytes(entry.data.begin(), entry.data.begin() + 5)))
      << "next FFFFh, record 0001h, a system event record";
  EXPECT_EQ(
      "2000042300"
      "6fc104ff",
      hex(Bytes(entry.data.begin() + 9, entry.data.end())))
      << "generator 20h, EvM rev 04h, Watchdog 2, type 6Fh, hard reset, SMS/OS";
}

TEST_F(WatchdogTest, OtherActionsAndTheNmiPretimeoutAsVmCommands) {
  // Power down: the VM power-off command.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x03, 0x02, 2)));
  ASSERT_EQ(0x00, cc(kReset));
  EXPECT_EQ(0x03, host_.await_command(2000)) << "expected the VM power-off command";

  // No action: no command; a don't-log timer leaves no record.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x85, 0x00, 2, 0x3E)));
  ASSERT_EQ(0x00, cc(kReset));
  EXPECT_EQ(-1, host_.await_command(700)) << "action none must send nothing";

  // NMI pre-timeout 1 s before a 1.5 s hard reset: NMI first, then reset.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x04, 0x21, 15, 0x3E, 1)));
  ASSERT_EQ(0x00, cc(kReset));
  EXPECT_EQ(0x07, host_.await_command(2000)) << "expected the VM NMI command first";
  EXPECT_EQ(0x04, host_.await_command(2000)) << "expected the VM reset command next";
  // Records: power down, then interrupt (08h) and hard reset; none for OEM.
  Answer info = host_.ask(0x40, {}, 2000, 0x28);
  ASSERT_EQ(14u, info.data.size()) << hex(info.data);
  EXPECT_EQ("510300", hex(Bytes(info.data.begin(), info.data.begin() + 3)))
      << "SEL version 51h, 3 entries";
  std::string offsets;
  for (uint16_t id = 0; id != 0xFFFF;) {
    Answer e = host_.ask(0x43, {0, 0, uint8_t(id), uint8_t(id >> 8), 0, 0xFF}, 2000, 0x28);
    ASSERT_EQ(18u, e.data.size()) << hex(e.data);
    offsets += hex(Bytes{e.data[2 + 13], e.data[2 + 14]}) + " ";
    id = uint16_t(e.data[0] | e.data[1] << 8);
  }
  EXPECT_EQ("c203 c824 c104 ", offsets) << "offset and timer use of each record";
}

TEST_F(WatchdogTest, HostCommandsAreJournaledAndANewHostIsAccepted) {
  ASSERT_TRUE(host_.send_command(0xFF, {0x01}));
  ASSERT_TRUE(host_.send_command(0x08, {0x03}));
  ASSERT_EQ(0x00, cc(kSet, set_data(0x44, 0x01, 3000)));
  host_.disconnect();

  bmctest::Host second;
  ASSERT_TRUE(second.connect(sim_.port()));
  Answer a = second.ask(kGet);
  ASSERT_TRUE(a.received) << "a new host after a disconnect got no reply";
  ASSERT_EQ(8u, a.data.size());
  EXPECT_EQ(3000u, unsigned(a.data[4] | a.data[5] << 8)) << "the timer state outlives the host";

  EXPECT_EQ(
      1u, sim_.journal_matching({"\"kind\":\"command\"", "\"cmd\":\"version\"", "\"data\":\"01\""})
              .size())
      << sim_.journal_text();
  EXPECT_EQ(1u, sim_.journal_matching({"\"cmd\":\"capabilities\"", "\"data\":\"03\""}).size());
  EXPECT_EQ(2u, sim_.journal_matching({"\"kind\":\"connect\""}).size());
  EXPECT_EQ(1u, sim_.journal_matching({"\"kind\":\"disconnect\""}).size()) << sim_.journal_text();
  EXPECT_EQ(1u, sim_.journal_matching(
                        {"\"kind\":\"request\"", "\"cmd\":\"24\"", "\"data\":\"44010010b80b\""})
                    .size())
      << sim_.journal_text();
  EXPECT_EQ(
      1u, sim_.journal_matching({"\"kind\":\"reply\"", "\"cmd\":\"25\"", "\"cc\":\"00\""}).size());
}

}  // namespace
