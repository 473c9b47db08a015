// bmcsim's watchdog as IPMI 2.0 section 27 defines it, through its VM port.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

// The Get Watchdog Timer reply fields (section 27.7).
struct Timer {
  uint8_t use_byte, actions, pretimeout, expired;
  unsigned initial, present;
};

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
  Timer get() {
    Answer a = host_.ask(kGet);
    EXPECT_TRUE(a.received) << "no reply to Get Watchdog Timer";
    EXPECT_EQ(0x00, a.cc) << "Get Watchdog Timer";
    Timer t{};
    if (a.data.size() != 8) {
      ADD_FAILURE() << "Get Watchdog Timer: expected 8 data bytes, got " << hex(a.data);
      return t;
    }
    t = Timer{a.data[0],
              a.data[1],
              a.data[2],
              a.data[3],
              unsigned(a.data[4] | a.data[5] << 8),
              unsigned(a.data[6] | a.data[7] << 8)};
    return t;
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
  EXPECT_EQ(0xC7, cc(kSet, {0x04, 0x01, 0x00, 0x10, 0x0A})) << "Set with 5 bytes";
  EXPECT_EQ(0xCC, cc(kSet, set_data(0x00, 0x01, 100))) << "timer use 0 is reserved";
  EXPECT_EQ(0xCC, cc(kSet, set_data(0x04, 0x05, 100))) << "timeout action 5 is reserved";
}

TEST_F(WatchdogTest, ResetBeforeAnySetIsRefusedWith80h) {
  EXPECT_EQ(0x80, cc(kReset));
  Timer t = get();
  EXPECT_EQ(0, t.use_byte & 0x40) << "the timer must not run after a refused Reset";
}

TEST_F(WatchdogTest, DontStopBitDecidesWhetherSetStopsTheTimer) {
  // Don't-stop on a stopped timer: it stays stopped; Reset starts it.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x44, 0x01, 3000)));
  Timer t = get();
  EXPECT_EQ(0x04, t.use_byte) << "armed but stopped: SMS/OS without the running bit";
  EXPECT_EQ(0x01, t.actions);
  EXPECT_EQ(3000u, t.initial);
  EXPECT_EQ(3000u, t.present);

  ASSERT_EQ(0x00, cc(kReset));
  t = get();
  EXPECT_EQ(0x44, t.use_byte) << "running after Reset";
  EXPECT_LE(t.present, 3000u);
  EXPECT_GE(t.present, 2980u);

  // Don't-stop on a running timer: it goes on from the new count.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x44, 0x01, 600)));
  t = get();
  EXPECT_EQ(0x44, t.use_byte) << "a Set with don't-stop must not stop a running timer";
  EXPECT_EQ(600u, t.initial);
  EXPECT_LE(t.present, 600u);
  EXPECT_GE(t.present, 580u);

  // Without don't-stop the Set stops it.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x04, 0x01, 0x0A00)));
  t = get();
  EXPECT_EQ(0x04, t.use_byte) << "a Set without don't-stop must stop the timer";
  EXPECT_EQ(0x0A00u, t.initial);
  EXPECT_EQ(0x0A00u, t.present);
}

TEST_F(WatchdogTest, PresentCountdownFallsIn100msUnitsAndResetReloadsIt) {
  ASSERT_EQ(0x00, cc(kSet, set_data(0x04, 0x00, 30)));
  ASSERT_EQ(0x00, cc(kReset));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  Timer t = get();
  EXPECT_GE(t.present, 22u) << "after 0.6 s of 3 s";
  EXPECT_LE(t.present, 25u) << "after 0.6 s of 3 s";
  ASSERT_EQ(0x00, cc(kReset));
  t = get();
  EXPECT_GE(t.present, 29u) << "Reset restarts from the initial count";
}

TEST_F(WatchdogTest, HardResetExpirySetsTheFlagStopsAndSendsTheResetCommand) {
  ASSERT_EQ(0x00, cc(kSet, set_data(0x44, 0x01, 4)));
  int64_t start = bmctest::now_ms();
  ASSERT_EQ(0x00, cc(kReset));
  int command = host_.await_command(3000);
  int64_t waited = bmctest::now_ms() - start;
  EXPECT_EQ(0x04, command) << "expected the VM reset command";
  EXPECT_GE(waited, 350) << "expiry came before the 400 ms count";
  EXPECT_LE(waited, 1400) << "expiry came late";

  Timer t = get();
  EXPECT_EQ(0x04, t.use_byte) << "stopped after expiry";
  EXPECT_EQ(0x10, t.expired) << "SMS/OS expiration flag";
  EXPECT_EQ(0u, t.present);
  EXPECT_EQ(1u, sim_.journal_matching({"\"kind\":\"expiry\"", "\"use\":\"SMS/OS\""}).size())
      << sim_.journal_text();
  EXPECT_EQ(1u, sim_.journal_matching(
                        {"\"kind\":\"action\"", "\"action\":\"hard reset\"", "\"delivered\":true"})
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

  // Flags are cleared only by a Set that names them (section 27.6 byte 4).
  ASSERT_EQ(0x00, cc(kSet, set_data(0x04, 0x01, 100, 0x00)));
  EXPECT_EQ(0x10, get().expired) << "a Set with clear mask 00h kept the flag";
  ASSERT_EQ(0x00, cc(kSet, set_data(0x04, 0x01, 100, 0x10)));
  EXPECT_EQ(0x00, get().expired) << "a Set with clear mask 10h clears the flag";
}

TEST_F(WatchdogTest, OtherActionsAndThePretimeoutInterrupt) {
  // Power down: the VM power-off command.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x03, 0x02, 2)));
  ASSERT_EQ(0x00, cc(kReset));
  EXPECT_EQ(0x03, host_.await_command(2000)) << "expected the VM power-off command";
  EXPECT_EQ(0x08, get().expired) << "OS Load expiration flag";

  // No action: the flag, but no command; a don't-log timer leaves no record.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x85, 0x00, 2, 0x3E)));
  ASSERT_EQ(0x00, cc(kReset));
  EXPECT_EQ(-1, host_.await_command(700)) << "action none must send nothing";
  EXPECT_EQ(0x20, get().expired) << "OEM flag only, the others cleared by the Set";

  // NMI pre-timeout 1 s before a 1.5 s hard reset: NMI first, then reset.
  ASSERT_EQ(0x00, cc(kSet, set_data(0x04, 0x21, 15, 0x3E, 1)));
  ASSERT_EQ(0x00, cc(kReset));
  EXPECT_EQ(0x07, host_.await_command(2000)) << "expected the VM NMI command first";
  EXPECT_EQ(0x04, host_.await_command(2000)) << "expected the VM reset command next";
  // A pre-timeout interval beyond the count is refused.
  EXPECT_EQ(0xCC, cc(kSet, set_data(0x04, 0x21, 5, 0x10, 1)));
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
