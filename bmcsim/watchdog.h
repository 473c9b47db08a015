// The BMC watchdog timer of IPMI 2.0 section 27, driven by a millisecond clock
// that the caller passes in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bmcsim {

// IPMI 2.0 section 27.6: timer use (byte 1, bits 2..0).
constexpr uint8_t kUseBiosFrb2 = 1;
constexpr uint8_t kUseBiosPost = 2;
constexpr uint8_t kUseOsLoad = 3;
constexpr uint8_t kUseSmsOs = 4;
constexpr uint8_t kUseOem = 5;
// IPMI 2.0 section 27.6: timeout action (byte 2, bits 2..0).
constexpr uint8_t kActionNone = 0;
constexpr uint8_t kActionHardReset = 1;
constexpr uint8_t kActionPowerDown = 2;
constexpr uint8_t kActionPowerCycle = 3;
// IPMI 2.0 section 27.6: pre-timeout interrupt (byte 2, bits 6..4).
constexpr uint8_t kPretimeoutNone = 0;
constexpr uint8_t kPretimeoutSmi = 1;
constexpr uint8_t kPretimeoutNmi = 2;
constexpr uint8_t kPretimeoutMessaging = 3;

// IPMI 2.0 section 5.2 completion codes used here.
constexpr uint8_t kCcOk = 0x00;
constexpr uint8_t kCcNotInitialised = 0x80;  // section 27.5: Reset before any Set
constexpr uint8_t kCcInvalidCommand = 0xC1;
constexpr uint8_t kCcBadLength = 0xC7;
constexpr uint8_t kCcInvalidData = 0xCC;

// Length of the Get Watchdog Timer reply data after the completion code
// (IPMI 2.0 section 27.7).
constexpr size_t kGetReplyLength = 8;

struct WatchdogEvent {
  enum Kind { kPretimeout, kExpiry } kind;
  uint8_t use;
  uint8_t action;      // for kExpiry
  uint8_t pretimeout;  // interrupt kind, for kPretimeout
};

class Watchdog {
 public:
  // Set Watchdog Timer (section 27.6); returns the completion code.
  uint8_t set(const uint8_t* data, size_t n, int64_t now_ms);
  // Reset Watchdog Timer (section 27.5): reloads and starts the countdown.
  uint8_t reset(int64_t now_ms);
  // Get Watchdog Timer (section 27.7): kGetReplyLength bytes into out.
  void get(int64_t now_ms, uint8_t* out) const;

  // Start state for tests: the timer armed by some other software and running.
  void start_running(uint8_t use, uint8_t action, uint16_t count, int64_t now_ms);

  // Moves time on to now_ms; writes at most max due events and returns their count.
  int poll(int64_t now_ms, WatchdogEvent* events, int max);
  // When poll has something to do next, or -1 while nothing is pending.
  int64_t next_due_ms() const;

  bool running() const { return running_; }
  bool initialised() const { return initialised_; }
  uint16_t present_count(int64_t now_ms) const;
  uint8_t use() const { return use_; }
  uint8_t action() const { return action_; }
  uint8_t expiration_flags() const { return expired_flags_; }
  uint16_t initial_count() const { return initial_count_; }
  bool dont_log() const { return dont_log_; }

 private:
  void start(int64_t now_ms);

  bool initialised_ = false;
  bool running_ = false;
  bool dont_log_ = false;
  uint8_t use_ = 0;
  uint8_t action_ = 0;
  uint8_t pretimeout_irq_ = 0;
  uint8_t pretimeout_s_ = 0;
  uint8_t expired_flags_ = 0;
  uint16_t initial_count_ = 0;
  uint16_t stopped_count_ = 0;  // present countdown while stopped
  int64_t expires_at_ms_ = 0;   // while running
  bool pretimeout_done_ = false;
};

}  // namespace bmcsim
