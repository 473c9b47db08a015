// The System Event Log of IPMI 2.0 section 31: system event records (section
// 32.1) kept in order, read with Get SEL Info and Get SEL Entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ipmi/ipmi.h"

namespace bmcsim {

struct SelEvent {
  uint8_t sensor_type;
  uint8_t sensor_number;
  uint8_t event_type;  // event/reading type, with the deassertion bit
  uint8_t data1, data2, data3;
};

class Sel {
 public:
  // Full, the SEL keeps its records and drops new ones (section 31.2: the
  // overflow flag).
  static constexpr size_t kCapacity = 4096;

  // Adds a system event record from the BMC itself at timestamp (seconds
  // since 1970); returns its record ID, or 0 when the SEL is full.
  uint16_t add(uint32_t timestamp, const SelEvent& event);
  // Section 31.2: the Get SEL Info reply.
  void info(uint8_t out[ipmi::kSelInfoReplyLength]) const;
  // Section 31.5: the Get SEL Entry request; returns the completion code and
  // writes the reply (next record ID, then the bytes asked for).
  uint8_t entry(const uint8_t* data, size_t n, uint8_t* out, size_t* out_length) const;

  size_t size() const { return records_.size(); }

 private:
  std::vector<std::array<uint8_t, ipmi::kSelRecordLength>> records_;
  uint16_t next_id_ = 1;
  uint32_t last_add_ = ipmi::kTimestampUnspecified;
  bool overflow_ = false;
};

// The record a watchdog event leaves (Watchdog 2, table 42-3): the expiry
// with the action taken, or the pre-timeout interrupt.
SelEvent watchdog2_event(uint8_t offset, uint8_t use, uint8_t interrupt);

}  // namespace bmcsim
