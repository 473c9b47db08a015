// The BMC watchdog timer of IPMI 2.0 section 27, driven by a millisecond clock
// that the caller passes in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipmi/ipmi.h"

namespace bmcsim {

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
  // Reset Watchdog Timer (section 27.5): reloads and starts the countdown,
  // except after the pre-timeout interrupt: the countdown then runs on to the
  // timeout action, and only a Set starts it afresh.
  uint8_t reset(int64_t now_ms);
  // Get Watchdog Timer (section 27.7): ipmi::kGetReplyLength bytes into out.
  void get(int64_t now_ms, uint8_t* out) const;

  // Start state for tests: the timer armed by some other software and running.
  void start_running(uint8_t use, uint8_t action, uint16_t count, int64_t now_ms);
  // The BMC restarts: the timer stopped and unset (a Reset answers 80h until
  // the next Set); the expiration flags stay until a Set clears them.
  void lose_settings();

  // A BMC without the pre-timeout interrupt (OpenIPMI's ipmi_sim among them):
  // a Set asking for one is refused with cc (ipmi_sim: CCh; others C9h, D5h,
  // D6h, C1h) and not carried out. It is the BMC's make, so a restart keeps it.
  void refuse_pretimeout(bool refuse, uint8_t cc = ipmi::kCcInvalidData) {
    refuses_pretimeout_ = refuse;
    pretimeout_refusal_ = cc;
  }
  bool refuses_pretimeout() const { return refuses_pretimeout_; }

  // Moves time on to now_ms; writes at most max due events and returns their count.
  int poll(int64_t now_ms, WatchdogEvent* events, int max);
  // When poll has something to do next, or -1 while nothing is pending.
  int64_t next_due_ms() const;

  bool running() const { return running_; }
  bool initialised() const { return initialised_; }
  uint16_t present_count(int64_t now_ms) const;
  // When a running countdown runs out; -1 while the timer is stopped.
  int64_t expires_at_ms() const { return running_ ? expires_at_ms_ : -1; }
  uint8_t use() const { return use_; }
  uint8_t action() const { return action_; }
  uint8_t expiration_flags() const { return expired_flags_; }
  uint16_t initial_count() const { return initial_count_; }
  bool dont_log() const { return dont_log_; }
  uint8_t pretimeout_interrupt() const { return pretimeout_irq_; }
  uint8_t pretimeout_seconds() const { return pretimeout_s_; }

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
  bool refuses_pretimeout_ = false;
  uint8_t pretimeout_refusal_ = ipmi::kCcInvalidData;
};

}  // namespace bmcsim
