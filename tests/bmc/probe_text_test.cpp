// qd4probe's words for the BMC's replies and the library's statuses.
#include "driverlib/tools/probe_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "bmcsim/bmc.h"

namespace {

TEST(ProbeText, DeviceIdDecodesVersionsAndLittleEndianIds) {
  // bmcsim's reply: firmware 8.00, IPMI 2.0, manufacturer 001291h, product 0F02h.
  const uint8_t reply[] = {0x23, 0x09, 0x08, 0x00, 0x02, 0x9F, 0x91, 0x12, 0x00, 0x02, 0x0F};
  std::string text = probe::device_id_text(reply, sizeof(reply));
  EXPECT_NE(std::string::npos, text.find("device ID 23h, revision 9\n")) << text;
  EXPECT_NE(std::string::npos, text.find("firmware 8.00\n")) << text;
  EXPECT_NE(std::string::npos, text.find("IPMI version 2.0\n")) << text;
  EXPECT_NE(std::string::npos, text.find("manufacturer ID 4753 (IANA), product ID 0F02h")) << text;
  // Bit 7 of the firmware byte: update in progress; BCD minor 51h; IPMI 1.5.
  const uint8_t updating[] = {0x20, 0x81, 0x83, 0x51, 0x51, 0, 0xA2, 0x02, 0x00, 0x34, 0x12};
  text = probe::device_id_text(updating, sizeof(updating));
  EXPECT_NE(std::string::npos, text.find("revision 1, provides device SDRs")) << text;
  EXPECT_NE(std::string::npos, text.find("firmware 3.51 (update")) << text;
  EXPECT_NE(std::string::npos, text.find("IPMI version 1.5")) << text;
  EXPECT_NE(std::string::npos, text.find("manufacturer ID 674 (IANA), product ID 1234h")) << text;
  EXPECT_NE(std::string::npos, probe::device_id_text(reply, 10).find("short")) << "10 bytes";
}

TEST(ProbeText, WatchdogDecodesUseStateActionCountdownsAndFlags) {
  // Armed by the service: SMS/OS, running, hard reset, 300.0 s, 297.3 s left.
  const uint8_t armed[] = {0x44, 0x01, 0x00, 0x00, 0xB8, 0x0B, 0x9D, 0x0B};
  std::string text = probe::watchdog_text(armed, sizeof(armed));
  EXPECT_NE(std::string::npos, text.find("timer use SMS/OS, running\n")) << text;
  EXPECT_NE(std::string::npos,
            text.find("action on expiry: hard reset; pre-timeout interrupt: none\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("initial countdown 300.0 s, present countdown 297.3 s"))
      << text;
  EXPECT_NE(std::string::npos, text.find("flags (kept until a Set clears them): BIOS FRB2 no, "
                                         "BIOS POST no, OS Load no, SMS/OS no, OEM no\n"))
      << text;
  // Stopped OS-load timer, don't log, power cycle with an NMI 10 s before,
  // expired before for BIOS FRB2 and SMS/OS.
  const uint8_t other[] = {0x83, 0x23, 0x0A, 0x12, 0x05, 0x00, 0x00, 0x00};
  text = probe::watchdog_text(other, sizeof(other));
  EXPECT_NE(std::string::npos, text.find("timer use OS Load, stopped, expiry not logged")) << text;
  EXPECT_NE(std::string::npos,
            text.find("power cycle; pre-timeout interrupt: NMI / diagnostic interrupt, 10 s"))
      << text;
  EXPECT_NE(std::string::npos, text.find("initial countdown 0.5 s, present countdown 0.0 s"))
      << text;
  EXPECT_NE(std::string::npos, text.find("BIOS FRB2 EXPIRED, BIOS POST no, OS Load no, SMS/OS "
                                         "EXPIRED, OEM no\n"))
      << text;
  // A BMC that leaves out the present count (ipmi_sim's 6 bytes).
  text = probe::watchdog_text(armed, 6);
  EXPECT_NE(std::string::npos, text.find("300.0 s, present countdown not reported")) << text;
  EXPECT_NE(std::string::npos, probe::watchdog_text(armed, 5).find("short")) << "5 bytes";
}

TEST(ProbeText, EveryFailureCauseHasItsOwnWords) {
  std::set<std::string> seen;
  for (unsigned long status = 1; status <= 11; ++status) {
    std::string text = probe::status_text(status);
    EXPECT_TRUE(seen.insert(text).second) << "status " << status << " repeats: " << text;
  }
  EXPECT_NE(std::string::npos, probe::status_text(8).find("driver is absent"));
  EXPECT_NE(std::string::npos, probe::status_text(9).find("administrator"));
  EXPECT_NE(std::string::npos, probe::status_text(11).find("vyrqd4w.ini"));
  EXPECT_NE(std::string::npos, probe::status_text(12).find("unknown status 12"));
  EXPECT_EQ("C0h (node busy)", probe::completion_code_text(0xC0));
  EXPECT_EQ("80h (watchdog not initialised)", probe::completion_code_text(0x80));
  EXPECT_EQ("A5h (other error)", probe::completion_code_text(0xA5));
}

// The probe's SEL walk against bmcsim's BMC, request by request.
struct SelWalk {
  bmcsim::Bmc bmc;
  int requests = 0;
  std::string progress;
  std::string run(size_t max_records = 4096) {
    probe::Request request = [this](uint8_t netfn, uint8_t command, const uint8_t* data, size_t n,
                                    std::vector<uint8_t>* reply, unsigned* cc,
                                    std::string* failure) {
      requests++;
      uint8_t out[bmcsim::kMaxReplyData];
      size_t length = 0;
      *cc = bmc.handle(ipmi::netfn_lun(netfn, 0), command, data, n, 0, out, &length);
      reply->assign(out, out + length);
      if (*cc != 0) *failure = probe::completion_code_text(*cc);
      return *cc == 0;
    };
    return probe::sel_report(
        request, probe::SelBounds{max_records, 60000, 20, 250}, [] { return 0ul; },
        [this](const std::string& line) { progress += line; });
  }
};

TEST(ProbeText, SelListsTheLatestWatchdogRecordsNewestFirstWithinItsBounds) {
  SelWalk walk;
  EXPECT_EQ("SEL: empty, no records\n", walk.run());
  // 2026-12-08 10:22:31 UTC; an SMS/OS hard reset, then a boot's OS Load timer
  // powering down, among unrelated records.
  const uint32_t t = 1796725351;
  walk.bmc.sel().add(t, bmcsim::SelEvent{0x01, 1, 0x01, 0x07, 0xFF, 0xFF});
  walk.bmc.sel().add(t, bmcsim::watchdog2_event(ipmi::kWatchdog2HardReset, ipmi::kUseSmsOs, 0));
  walk.bmc.sel().add(t + 70, bmcsim::SelEvent{ipmi::kSensorOsBoot, 0, 0x6F, 0x01, 0xFF, 0xFF});
  walk.bmc.sel().add(t + 400,
                     bmcsim::watchdog2_event(ipmi::kWatchdog2PowerDown, ipmi::kUseOsLoad, 0));
  walk.bmc.sel().add(5, bmcsim::SelEvent{ipmi::kSensorOsStop, 0, 0x6F, 0x01, 0xFF, 0xFF});
  walk.requests = 0;
  std::string text = walk.run();
  EXPECT_EQ(
      "SEL: 5 records, the latest added 5 s after the BMC started\n"
      "  watchdog and OS records, newest first (at most 20):\n"
      "  5 s after the BMC started  record 0005h  OS Stop: run-time critical stop (a crash, blue "
      "screen)\n"
      "  2026-12-08 10:29:11 UTC  record 0004h  Watchdog 2: the timer ran out and powered the "
      "server down; timer use OS Load: the BIOS's boot watchdog, a boot hung\n"
      "  2026-12-08 10:23:41 UTC  record 0003h  OS Boot: boot completed from C: (hard disk)\n"
      "  2026-12-08 10:22:31 UTC  record 0002h  Watchdog 2: the timer ran out and reset the server "
      "(hard reset); timer use SMS/OS: the operating system's agent stopped its resets (a hang)\n",
      text);
  EXPECT_EQ(6, walk.requests) << "Get SEL Info, then one Get SEL Entry per record";

  // A long SEL: progress lines, only the newest 20 listed, and the count bound.
  walk.bmc.sel().add(t, bmcsim::SelEvent{0x01, 1, 0x01, 0x07, 0xFF, 0xFF});
  for (int i = 0; i < 600; i++)
    walk.bmc.sel().add(t + i,
                       bmcsim::watchdog2_event(ipmi::kWatchdog2Interrupt, ipmi::kUseSmsOs, 2));
  text = walk.run();
  EXPECT_EQ("  reading the SEL: 250 of 606 records\n  reading the SEL: 500 of 606 records\n",
            walk.progress);
  EXPECT_NE(std::string::npos, text.find("record 025Eh  Watchdog 2: pre-timeout interrupt"))
      << text;
  EXPECT_EQ(20u, std::count(text.begin(), text.end(), '\n') - 2u) << text;
  walk.requests = 0;
  text = walk.run(100);
  EXPECT_NE(std::string::npos, text.find("read 100 of 606 records, stopped by the bound of 100 "
                                         "records: the newer records were not read"))
      << text;
  EXPECT_EQ(101, walk.requests);

  walk.bmc.set_sel_present(false);
  EXPECT_EQ(
      "SEL: the BMC keeps no System Event Log (Get SEL Info answered C1h (invalid "
      "command))\n",
      walk.run());
}

}  // namespace
