#include "bmcsim/sel.h"

#include <cstring>

namespace bmcsim {

namespace {

// Section 31.2: SEL version 51h (IPMI 1.5 and 2.0); the operation support
// byte's overflow bit; each record takes 16 bytes of the free space.
constexpr uint8_t kSelVersion = 0x51;
constexpr uint8_t kSelOverflow = 0x80;
// Section 32.1 table 32-1 and 29.7: event data 1 bits 7..6 = 11b, event data 2
// holds a sensor-specific extension.
constexpr uint8_t kData2SensorSpecific = 0xC0;
constexpr uint8_t kDataUnspecified = 0xFF;

void put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v & 0xFF);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint16_t Sel::add(uint32_t timestamp, const SelEvent& event) {
  if (records_.size() >= kCapacity) {
    overflow_ = true;
    return 0;
  }
  std::array<uint8_t, ipmi::kSelRecordLength> r{};
  uint16_t id = next_id_++;
  if (next_id_ == ipmi::kSelLastRecord) next_id_ = 1;  // FFFFh and 0000h name no record
  put16(&r[ipmi::kSelRecordId], id);
  r[ipmi::kSelRecordType] = ipmi::kSelSystemEventRecord;
  put32(&r[ipmi::kSelTimestamp], timestamp);
  put16(&r[ipmi::kSelGeneratorId], ipmi::kGeneratorBmc);
  r[ipmi::kSelEvmRev] = ipmi::kEvmRev;
  r[ipmi::kSelSensorType] = event.sensor_type;
  r[ipmi::kSelSensorNumber] = event.sensor_number;
  r[ipmi::kSelEventType] = event.event_type;
  r[ipmi::kSelEventData1] = event.data1;
  r[ipmi::kSelEventData2] = event.data2;
  r[ipmi::kSelEventData3] = event.data3;
  records_.push_back(r);
  last_add_ = timestamp;
  return id;
}

void Sel::info(uint8_t out[ipmi::kSelInfoReplyLength]) const {
  std::memset(out, 0, ipmi::kSelInfoReplyLength);
  out[ipmi::kSelInfoVersion] = kSelVersion;
  put16(out + ipmi::kSelInfoEntries, static_cast<uint16_t>(records_.size()));
  put16(out + ipmi::kSelInfoFreeSpace,
        static_cast<uint16_t>((kCapacity - records_.size()) * ipmi::kSelRecordLength));
  put32(out + ipmi::kSelInfoLastAdd, last_add_);
  put32(out + ipmi::kSelInfoLastAdd + 4, ipmi::kTimestampUnspecified);
  out[ipmi::kSelInfoReplyLength - 1] = overflow_ ? kSelOverflow : 0;
}

uint8_t Sel::entry(const uint8_t* data, size_t n, uint8_t* out, size_t* out_length) const {
  *out_length = 0;
  if (n != ipmi::kGetSelEntryRequestLength) return ipmi::kCcBadLength;
  uint16_t id = static_cast<uint16_t>(data[2] | data[3] << 8);
  size_t offset = data[4];
  size_t count = data[5] == ipmi::kSelReadWholeRecord ? ipmi::kSelRecordLength : data[5];
  if (offset + count > ipmi::kSelRecordLength) return ipmi::kCcInvalidData;
  if (records_.empty()) return ipmi::kCcNotPresent;
  size_t index = records_.size();
  if (id == ipmi::kSelFirstRecord) {
    index = 0;
  } else if (id == ipmi::kSelLastRecord) {
    index = records_.size() - 1;
  } else {
    for (size_t i = 0; i < records_.size(); ++i)
      if ((records_[i][0] | records_[i][1] << 8) == id) index = i;
  }
  if (index == records_.size()) return ipmi::kCcNotPresent;
  uint16_t next = index + 1 < records_.size()
                      ? static_cast<uint16_t>(records_[index + 1][0] | records_[index + 1][1] << 8)
                      : ipmi::kSelLastRecord;
  put16(out + ipmi::kGetSelEntryNextId, next);
  std::memcpy(out + ipmi::kGetSelEntryRecord, records_[index].data() + offset, count);
  *out_length = ipmi::kGetSelEntryRecord + count;
  return ipmi::kCcOk;
}

SelEvent watchdog2_event(uint8_t offset, uint8_t use, uint8_t interrupt) {
  // Table 42-3, Watchdog 2: event data 2 carries the interrupt type (bits
  // 7..4) and the timer use at expiry (bits 3..0).
  return SelEvent{ipmi::kSensorWatchdog2,
                  0,
                  ipmi::kEventTypeSensorSpecific,
                  static_cast<uint8_t>(kData2SensorSpecific | offset),
                  static_cast<uint8_t>((interrupt & 0x0F) << 4 | (use & 0x0F)),
                  kDataUnspecified};
}

}  // namespace bmcsim
