// The driver library's settings file parser (vyrqd4w.ini).
#include "driverlib/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

qd4::Settings parse(const std::string& text, int* applied = nullptr, int* bad_line = nullptr) {
  qd4::Settings s;
  int n = qd4::parse_settings(text.data(), text.size(), &s, bad_line);
  if (applied != nullptr) *applied = n;
  return s;
}

TEST(DriverSettings, DefaultsAreTheInboxDriverWithBoundedWaits) {
  qd4::Settings s = parse("");
  EXPECT_TRUE(s.transport == qd4::TransportKind::kInbox);
  EXPECT_STREQ("127.0.0.1", s.host);
  EXPECT_EQ(9002, s.port);
  EXPECT_LE(s.connect_timeout_ms, 3000u);
  EXPECT_LE(s.reply_timeout_ms, 5000u);
}

TEST(DriverSettings, ReadsAddressAndTimeoutsWithCommentsAndCrlf) {
  int applied = 0;
  int bad_line = -1;
  // As Notepad saves it: a UTF-8 byte-order mark first.
  qd4::Settings s = parse(
      "\xEF\xBB\xBF# BMC of the test rig\r\n"
      "; old = 1\r\n"
      "[driver]\r\n"
      "\r\n"
      "  bmc = 10.1.2.3:9100  # rack 4\r\n"
      "reply_timeout_ms=750#ms\r\n"
      "connect_timeout_ms\t=\t400",
      &applied, &bad_line);
  EXPECT_EQ(3, applied);
  EXPECT_EQ(0, bad_line) << "every line is readable";
  EXPECT_STREQ("10.1.2.3", s.host);
  EXPECT_EQ(9100, s.port);
  EXPECT_EQ(750u, s.reply_timeout_ms);
  EXPECT_EQ(400u, s.connect_timeout_ms);
  // An address without a port keeps the port.
  s = parse("bmc=192.168.0.9\n");
  EXPECT_STREQ("192.168.0.9", s.host);
  EXPECT_EQ(9002, s.port);
}

TEST(DriverSettings, AnUnreadableLineIsNamedAndLeavesTheDefaults) {
  const char* const bad[] = {
      "bmc=localhost:9002",
      "bmc=1.2.3:9002",
      "bmc=1.2.3.4.5:9002",
      "bmc=256.0.0.1:9002",
      "bmc=127.0.0.1:0",
      "bmc=127.0.0.1:65536",
      "bmc=127.0.0.1:90x2",
      "bmc=",
      "reply_timeout_ms=50",
      "reply_timeout_ms=-1",
      "connect_timeout_ms=99999999999",
      "bmc 127.0.0.2:1",
      "unknown=1",
      "bmc=127.0.0.1:9002 ; rack 4",
      "transport=VM",
      "transport=wmi",
      "\xEF\xBB\xBF"
      "bmc=127.0.0.1:9100",  // a second byte-order mark, not at the start
      "\xFF\xFE"
      "t",  // saved as UTF-16
  };
  for (const char* line : bad) {
    int applied = -1;
    int bad_line = -1;
    qd4::Settings s = parse(std::string("# rig\n") + line + "\n", &applied, &bad_line);
    EXPECT_EQ(0, applied) << "applied: " << line;
    EXPECT_EQ(2, bad_line) << "line 2 expected named for: " << line;
    EXPECT_TRUE(s.transport == qd4::TransportKind::kInbox) << line;
    EXPECT_STREQ("127.0.0.1", s.host) << line;
    EXPECT_EQ(9002, s.port) << line;
    EXPECT_EQ(qd4::Settings().reply_timeout_ms, s.reply_timeout_ms) << line;
    EXPECT_EQ(qd4::Settings().connect_timeout_ms, s.connect_timeout_ms) << line;
  }
  // The first of two bad lines is named; a file that fills the bound is read
  // whole, one byte more and its last line may have been cut.
  int bad_line = -1;
  parse("bmc=x\nreply_timeout_ms=1\n", nullptr, &bad_line);
  EXPECT_EQ(1, bad_line);
  std::string full = std::string(qd4::kMaxSettingsFile - 21, '#') + "\nreply_timeout_ms=500";
  ASSERT_EQ(qd4::kMaxSettingsFile, full.size());
  EXPECT_EQ(500u, parse(full, nullptr, &bad_line).reply_timeout_ms);
  EXPECT_EQ(0, bad_line) << "a file of exactly the bound";
  parse(full + "0", nullptr, &bad_line);
  EXPECT_EQ(2, bad_line) << "a file one byte past the bound";
}

TEST(DriverSettings, TransportLineWinsOverTheBmcLineInEitherOrder) {
  using qd4::TransportKind;
  struct Case {
    const char* text;
    TransportKind expected;
  } const cases[] = {
      {"bmc=127.0.0.1:9100\n", TransportKind::kVm},
      {"transport=vm\n", TransportKind::kVm},
      {"transport=inbox\nbmc=127.0.0.1:9100\n", TransportKind::kInbox},
      {"bmc=127.0.0.1:9100\ntransport=inbox\n", TransportKind::kInbox},
      {"bmc=127.0.0.1:9100\ntransport=vm\n", TransportKind::kVm},
      {"reply_timeout_ms=500\n", TransportKind::kInbox},
  };
  for (const Case& c : cases) {
    qd4::Settings s = parse(c.text);
    EXPECT_EQ(static_cast<int>(c.expected), static_cast<int>(s.transport))
        << "for: " << c.text << " (0 inbox, 1 vm)";
  }
  // Only a valid connect bound counts as given.
  EXPECT_FALSE(parse("connect_timeout_ms=5\n").connect_timeout_given);
  EXPECT_TRUE(parse("connect_timeout_ms=500\n").connect_timeout_given);
}

}  // namespace
