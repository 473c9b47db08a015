// The BMC's command set: Get Device ID, the watchdog commands and the SEL's
// Get SEL Info and Get SEL Entry; anything else is answered "invalid command".
#pragma once

#include <cstddef>
#include <cstdint>

#include "bmcsim/sel.h"
#include "bmcsim/watchdog.h"
#include "ipmi/ipmi.h"

namespace bmcsim {

// Room for the longest reply data produced here.
constexpr size_t kMaxReplyData = 32;

class Bmc {
 public:
  // Carries out one request; writes the reply data (without the completion
  // code) to out, its length to *out_length, and returns the completion code.
  uint8_t handle(uint8_t netfn_lun, uint8_t command, const uint8_t* data, size_t n, int64_t now_ms,
                 uint8_t* out, size_t* out_length);

  Watchdog& watchdog() { return watchdog_; }
  const Watchdog& watchdog() const { return watchdog_; }
  Sel& sel() { return sel_; }
  const Sel& sel() const { return sel_; }
  // Without a SEL, its commands are answered "invalid command", as a BMC that
  // keeps none answers them.
  void set_sel_present(bool present) { sel_present_ = present; }
  bool sel_present() const { return sel_present_; }
  // Logs a watchdog event in the SEL, unless its timer's expiries are not to
  // be logged; returns the record ID, or 0.
  uint16_t log_watchdog_event(const WatchdogEvent& event, uint32_t timestamp);

 private:
  Watchdog watchdog_;
  Sel sel_;
  bool sel_present_ = true;
};

// A short name for the journal ("set watchdog"), or null when unknown.
const char* command_name(uint8_t netfn_lun, uint8_t command);

}  // namespace bmcsim
