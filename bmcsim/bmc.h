// The BMC's command set: Get Device ID and the watchdog commands; anything
// else is answered "invalid command".
#pragma once

#include <cstddef>
#include <cstdint>

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

 private:
  Watchdog watchdog_;
};

// A short name for the journal ("set watchdog"), or null when unknown.
const char* command_name(uint8_t netfn_lun, uint8_t command);

}  // namespace bmcsim
