// qd4probe's words for the BMC's replies and the library's statuses.
#include "driverlib/tools/probe_text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

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
  EXPECT_NE(std::string::npos, text.find("expired earlier for: none")) << text;
  // Stopped OS-load timer, don't log, power cycle with an NMI 10 s before,
  // expired before for BIOS FRB2 and SMS/OS.
  const uint8_t other[] = {0x83, 0x23, 0x0A, 0x12, 0x05, 0x00, 0x00, 0x00};
  text = probe::watchdog_text(other, sizeof(other));
  EXPECT_NE(std::string::npos, text.find("timer use OS load, stopped, expiry not logged")) << text;
  EXPECT_NE(std::string::npos,
            text.find("power cycle; pre-timeout interrupt: NMI / diagnostic interrupt, 10 s"))
      << text;
  EXPECT_NE(std::string::npos, text.find("initial countdown 0.5 s, present countdown 0.0 s"))
      << text;
  EXPECT_NE(std::string::npos, text.find("expired earlier for: BIOS FRB2, SMS/OS\n")) << text;
  EXPECT_NE(std::string::npos, probe::watchdog_text(armed, 7).find("short")) << "7 bytes";
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

}  // namespace
