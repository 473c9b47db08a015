// What the fake BMC adds to bmcsim's watchdog model (tests/bmc), which the soak
// trusts to tell a false reset from a missed one: spells of trouble, restarts,
// the record of run-outs, a BMC carried into a later world; and the
// scheduler's freeze and thaw, which play hangs and sleeps.
#include <atomic>

#include "watchdog/driver_library.h"
#include "world.h"

namespace {

struct Reply {
  DWORD status;
  BYTE cc;
  std::vector<BYTE> data;
};

class BmcModel : public World {
 protected:
  WatchdogSession session = 0;
  void SetUp() override {
    World::SetUp();
    ASSERT_TRUE(load_driver_library());
    ASSERT_EQ(driver_open(&session), 0u);
  }
  Reply send(BYTE command, std::vector<BYTE> data = {}) {
    BYTE buffer[64] = {};
    WORD length = 64;
    BYTE cc = 0xFF;
    DWORD status = qd4_send(session, 0x18, command, data.empty() ? nullptr : data.data(),
                            static_cast<WORD>(data.size()), 0x20, buffer, &length, &cc, 0);
    return Reply{status, cc, std::vector<BYTE>(buffer, buffer + length)};
  }
  // Set Watchdog Timer: SMS/OS use, hard reset, the given count in 100 ms.
  Reply set(bool dont_stop, WORD count, BYTE clear_flags = 0) {
    return send(0x24, {static_cast<BYTE>(dont_stop ? 0x44 : 0x04), 0x01, 0x00, clear_flags,
                       static_cast<BYTE>(count & 0xFF), static_cast<BYTE>(count >> 8)});
  }
  Reply reset() { return send(0x22); }
};

TEST_F(BmcModel, SpellsOfTroubleOnTheVirtualClock) {
  ASSERT_EQ(set(true, 600).cc, 0);
  fake::add_bmc_fault({fake::BmcFault::kBusy, 1000, 2000});
  fake::add_bmc_fault({fake::BmcFault::kDropped, 3000, 4000});
  fake::add_bmc_fault({fake::BmcFault::kSlow, 8000, 9000, 700});
  Sleep(1000);
  Reply busy = reset();
  EXPECT_EQ(busy.status, 0u);
  EXPECT_EQ(busy.cc, 0xC0);
  EXPECT_FALSE(fake::bmc().watchdog.running()) << "a busy BMC does not act on the request";
  Sleep(2000);
  EXPECT_EQ(reset().status, 5u) << "the reply is lost: the library's reply timeout";
  EXPECT_EQ(fake::now(), 6000u) << "after waiting 3 s";
  EXPECT_TRUE(fake::bmc().watchdog.running())
      << "the BMC acted on the request whose reply was lost";
  Sleep(2000);
  EXPECT_EQ(reset().cc, 0);
  EXPECT_EQ(fake::now(), 8700u) << "a slow reply";
  EXPECT_EQ(fake::bmc().watchdog.expires_at_ms(), 8000 + 60000) << "carried out when it arrived";
}

TEST_F(BmcModel, RestartLosesTheWatchdogButAnUnreachableBmcKeepsCounting) {
  ASSERT_EQ(set(true, 3000).cc, 0);
  ASSERT_EQ(reset().cc, 0);
  fake::add_bmc_fault({fake::BmcFault::kRestart, 10000, 40000, 2000});
  Sleep(10000);
  EXPECT_EQ(reset().status, 6u) << "the connection is gone";
  Reply again = reset();
  EXPECT_EQ(again.status, 3u) << "no BMC to connect to";
  EXPECT_EQ(fake::now(), 12000u) << "after the connect timeout";
  Sleep(28000);
  EXPECT_EQ(reset().cc, 0x80) << "back, with the watchdog forgotten";
  ASSERT_EQ(set(true, 3000).cc, 0);
  ASSERT_EQ(reset().cc, 0);
  fake::add_bmc_fault({fake::BmcFault::kUnreachable, 41000, 900000});
  Sleep(300000);
  fake::Bmc b = fake::bmc_copy();
  ASSERT_EQ(b.expiries.size(), 1u) << "the countdown went on while no one could reach it";
  EXPECT_EQ(b.expiries[0].at_ms, 340000u) << "recorded when it fell due, not when seen";
  EXPECT_EQ(b.expiries[0].timer_use, ipmi::kUseSmsOs);
  EXPECT_EQ(b.expiries[0].action, ipmi::kActionHardReset);
  EXPECT_TRUE(b.watchdog.initialised());
  fake::bmc().faults.clear();
  EXPECT_EQ(send(0x25).data[3], 0x10) << "the Get reply comes back: SMS/OS expiration flag";
}

TEST_F(BmcModel, FreezeHoldsAThreadAndThawPushesItsDeadlineBack) {
  std::atomic<uint64_t> woke{0};  // the fake's ordering is hidden from TSan
  fake::at(0, [&] {
    Sleep(1000);
    woke = fake::now();
  });
  Sleep(500);
  fake::freeze("at0");
  Sleep(5000);
  EXPECT_EQ(woke, 0u) << "a frozen thread does not wake";
  fake::thaw("at0");
  Sleep(1000);
  EXPECT_EQ(woke, 6000u) << "its remaining 500 ms run from the thaw";
}

TEST_F(BmcModel, AWorldCanStartLaterAndTheBmcCarriesOver) {
  ASSERT_EQ(set(true, 3000).cc, 0);
  ASSERT_EQ(reset().cc, 0);
  fake::Bmc carried = fake::bmc_copy();
  fake::end_process();
  fake::reset(200000);
  fake::bmc() = carried;
  EXPECT_EQ(fake::now(), 200000u);
  Sleep(100000);
  fake::Bmc b = fake::bmc_copy();
  ASSERT_EQ(b.expiries.size(), 1u);
  EXPECT_EQ(b.expiries[0].at_ms, 300000u) << "the countdown started in the earlier world";
}

}  // namespace
