#include "bmcsim/watchdog.h"

namespace bmcsim {

namespace {

constexpr int64_t kMsPerCount = 100;  // section 27.6: the count is in 100 ms

}  // namespace

uint8_t Watchdog::set(const uint8_t* data, size_t n, int64_t now_ms) {
  // Section 27.6 request: use, actions, pre-timeout interval, flags to clear,
  // initial count LSB, MSB.
  if (n != 6) return kCcBadLength;
  uint8_t use = data[0] & 0x07;
  uint8_t action = data[1] & 0x07;
  uint8_t pretimeout_irq = (data[1] >> 4) & 0x07;
  uint16_t count = static_cast<uint16_t>(data[4] | (data[5] << 8));
  if (use < kUseBiosFrb2 || use > kUseOem || action > kActionPowerCycle ||
      pretimeout_irq > kPretimeoutMessaging) {
    return kCcInvalidData;
  }
  // A pre-timeout interrupt must come before the timeout itself (section 27.6
  // byte 3 is in seconds); reject an interval beyond the count.
  if (pretimeout_irq != kPretimeoutNone && data[2] * 10 > count) return kCcInvalidData;

  dont_log_ = (data[0] & 0x80) != 0;
  bool dont_stop = (data[0] & 0x40) != 0;
  use_ = use;
  action_ = action;
  pretimeout_irq_ = pretimeout_irq;
  pretimeout_s_ = data[2];
  // Section 27.6 byte 4: a 1 bit clears that timer use's expiration flag.
  expired_flags_ &= static_cast<uint8_t>(~(data[3] & 0x3E));
  initial_count_ = count;
  initialised_ = true;
  pretimeout_done_ = false;
  if (running_ && dont_stop) {
    // Section 27.6 byte 1 bit 6 set: a running timer goes on from the new count.
    expires_at_ms_ = now_ms + count * kMsPerCount;
  } else {
    // Bit 6 clear stops the timer; a stopped timer stays stopped either way.
    running_ = false;
    stopped_count_ = count;
  }
  return kCcOk;
}

uint8_t Watchdog::reset(int64_t now_ms) {
  // Section 27.5: 80h when no Set has initialised the timer.
  if (!initialised_) return kCcNotInitialised;
  start(now_ms);
  return kCcOk;
}

void Watchdog::start(int64_t now_ms) {
  running_ = true;
  pretimeout_done_ = false;
  expires_at_ms_ = now_ms + initial_count_ * kMsPerCount;
}

void Watchdog::start_running(uint8_t use, uint8_t action, uint16_t count, int64_t now_ms) {
  use_ = use & 0x07;
  action_ = action & 0x07;
  dont_log_ = false;
  pretimeout_irq_ = kPretimeoutNone;
  pretimeout_s_ = 0;
  initial_count_ = count;
  initialised_ = true;
  start(now_ms);
}

uint16_t Watchdog::present_count(int64_t now_ms) const {
  if (!running_) return stopped_count_;
  int64_t left = expires_at_ms_ - now_ms;
  if (left <= 0) return 0;
  return static_cast<uint16_t>((left + kMsPerCount - 1) / kMsPerCount);
}

void Watchdog::get(int64_t now_ms, uint8_t* out) const {
  uint16_t present = present_count(now_ms);
  // Section 27.7 byte 2: bit 7 don't log, bit 6 timer running, bits 2..0 use.
  // ipmi_sim puts the last Set's don't-stop bit in bit 6; we report running.
  out[0] = static_cast<uint8_t>((dont_log_ ? 0x80 : 0) | (running_ ? 0x40 : 0) | use_);
  out[1] = static_cast<uint8_t>((pretimeout_irq_ << 4) | action_);
  out[2] = pretimeout_s_;
  out[3] = expired_flags_;
  out[4] = static_cast<uint8_t>(initial_count_ & 0xFF);
  out[5] = static_cast<uint8_t>(initial_count_ >> 8);
  out[6] = static_cast<uint8_t>(present & 0xFF);
  out[7] = static_cast<uint8_t>(present >> 8);
}

int64_t Watchdog::next_due_ms() const {
  if (!running_) return -1;
  if (pretimeout_irq_ != kPretimeoutNone && !pretimeout_done_) {
    return expires_at_ms_ - pretimeout_s_ * 1000;
  }
  return expires_at_ms_;
}

int Watchdog::poll(int64_t now_ms, WatchdogEvent* events, int max) {
  int n = 0;
  if (!running_) return 0;
  if (pretimeout_irq_ != kPretimeoutNone && !pretimeout_done_ &&
      now_ms >= expires_at_ms_ - pretimeout_s_ * 1000 && n < max) {
    pretimeout_done_ = true;
    events[n++] = WatchdogEvent{WatchdogEvent::kPretimeout, use_, action_, pretimeout_irq_};
  }
  if (now_ms >= expires_at_ms_ && n < max) {
    // Sections 27.1 and 27.2: on expiry the timer stops, the expiration flag
    // of its use is set and the caller takes the action.
    running_ = false;
    stopped_count_ = 0;
    expired_flags_ |= static_cast<uint8_t>(1u << use_);
    events[n++] = WatchdogEvent{WatchdogEvent::kExpiry, use_, action_, pretimeout_irq_};
  }
  return n;
}

}  // namespace bmcsim
