#include "bmcsim/watchdog.h"

namespace bmcsim {

namespace {

constexpr int64_t kMsPerCount = ipmi::kMsPerCount;
constexpr int64_t kCountsPerSecond = 1000 / kMsPerCount;

}  // namespace

uint8_t Watchdog::set(const uint8_t* data, size_t n, int64_t now_ms) {
  if (n != ipmi::kSetRequestLength) return ipmi::kCcBadLength;
  ipmi::SetWatchdog s = ipmi::parse_set_watchdog(data);
  if (s.use < ipmi::kUseBiosFrb2 || s.use > ipmi::kUseOem || s.action > ipmi::kActionPowerCycle ||
      s.pretimeout_interrupt > ipmi::kPretimeoutMessaging) {
    return ipmi::kCcInvalidData;
  }
  // A pre-timeout interrupt must come before the timeout itself (its interval
  // is in seconds); reject an interval beyond the count.
  if (s.pretimeout_interrupt != ipmi::kPretimeoutNone &&
      s.pretimeout_seconds * kCountsPerSecond > s.count) {
    return ipmi::kCcInvalidData;
  }
  if (refuses_pretimeout_ && s.pretimeout_interrupt != ipmi::kPretimeoutNone)
    return pretimeout_refusal_;

  dont_log_ = s.dont_log;
  use_ = s.use;
  action_ = s.action;
  pretimeout_irq_ = s.pretimeout_interrupt;
  pretimeout_s_ = s.pretimeout_seconds;
  // A 1 bit clears that timer use's expiration flag.
  expired_flags_ &= static_cast<uint8_t>(~(s.clear_flags & ipmi::kExpirationFlagsMask));
  initial_count_ = s.count;
  initialised_ = true;
  pretimeout_done_ = false;
  if (running_ && s.dont_stop) {
    // Don't stop: a running timer goes on from the new count.
    expires_at_ms_ = now_ms + s.count * kMsPerCount;
  } else {
    // Without it the Set stops the timer; a stopped timer stays stopped either way.
    running_ = false;
    stopped_count_ = s.count;
  }
  return ipmi::kCcOk;
}

uint8_t Watchdog::reset(int64_t now_ms) {
  // Section 27.5: 80h when no Set has initialised the timer.
  if (!initialised_) return ipmi::kCcWatchdogNotSet;
  // Section 27.5: the interrupt has told the system the timeout is near; a
  // late Reset does not call it off.
  if (running_ && pretimeout_done_) return ipmi::kCcOk;
  start(now_ms);
  return ipmi::kCcOk;
}

void Watchdog::start(int64_t now_ms) {
  running_ = true;
  pretimeout_done_ = false;
  expires_at_ms_ = now_ms + initial_count_ * kMsPerCount;
}

void Watchdog::start_running(uint8_t use, uint8_t action, uint16_t count, int64_t now_ms) {
  use_ = use & ipmi::kUseMask;
  action_ = action & ipmi::kActionMask;
  dont_log_ = false;
  pretimeout_irq_ = ipmi::kPretimeoutNone;
  pretimeout_s_ = 0;
  initial_count_ = count;
  initialised_ = true;
  start(now_ms);
}

void Watchdog::lose_settings() {
  uint8_t flags = expired_flags_;
  bool refuses = refuses_pretimeout_;
  uint8_t refusal = pretimeout_refusal_;
  *this = Watchdog();
  expired_flags_ = flags;
  refuse_pretimeout(refuses, refusal);
}

uint16_t Watchdog::present_count(int64_t now_ms) const {
  if (!running_) return stopped_count_;
  int64_t left = expires_at_ms_ - now_ms;
  if (left <= 0) return 0;
  return static_cast<uint16_t>((left + kMsPerCount - 1) / kMsPerCount);
}

void Watchdog::get(int64_t now_ms, uint8_t* out) const {
  uint16_t present = present_count(now_ms);
  // ipmi_sim puts the last Set's don't-stop bit where the running bit goes;
  // we report running.
  out[ipmi::kGetUse] = static_cast<uint8_t>((dont_log_ ? ipmi::kDontLog : 0) |
                                            (running_ ? ipmi::kRunning : 0) | use_);
  out[ipmi::kGetActions] =
      static_cast<uint8_t>((pretimeout_irq_ << ipmi::kPretimeoutShift) | action_);
  out[ipmi::kGetPretimeout] = pretimeout_s_;
  out[ipmi::kGetExpiredFlags] = expired_flags_;
  out[ipmi::kGetInitialCount] = static_cast<uint8_t>(initial_count_ & 0xFF);
  out[ipmi::kGetInitialCount + 1] = static_cast<uint8_t>(initial_count_ >> 8);
  out[ipmi::kGetPresentCount] = static_cast<uint8_t>(present & 0xFF);
  out[ipmi::kGetPresentCount + 1] = static_cast<uint8_t>(present >> 8);
}

int64_t Watchdog::next_due_ms() const {
  if (!running_) return -1;
  if (pretimeout_irq_ != ipmi::kPretimeoutNone && !pretimeout_done_) {
    return expires_at_ms_ - pretimeout_s_ * 1000;
  }
  return expires_at_ms_;
}

int Watchdog::poll(int64_t now_ms, WatchdogEvent* events, int max) {
  int n = 0;
  if (!running_) return 0;
  if (pretimeout_irq_ != ipmi::kPretimeoutNone && !pretimeout_done_ &&
      now_ms >= expires_at_ms_ - pretimeout_s_ * 1000 && n < max) {
    pretimeout_done_ = true;
    events[n++] = WatchdogEvent{WatchdogEvent::kPretimeout, use_, action_, pretimeout_irq_};
  }
  if (now_ms >= expires_at_ms_ && n < max) {
    // Sections 27.1 and 27.2: on expiry the timer stops, the expiration flag
    // of its use is set and the caller takes the action.
    running_ = false;
    stopped_count_ = 0;
    expired_flags_ |= ipmi::expiration_flag(use_);
    events[n++] = WatchdogEvent{WatchdogEvent::kExpiry, use_, action_, pretimeout_irq_};
  }
  return n;
}

}  // namespace bmcsim
