#include "bmcsim/bmc.h"

#include <cstring>

namespace bmcsim {

namespace {

// IPMI 2.0 section 20.1 Get Device ID reply: device ID 23h, revision 09h,
// firmware 8.00 (BCD minor), IPMI version 2.0 (02h), additional device support
// 9Fh, manufacturer 001291h and product 0F02h, least significant byte first.
const uint8_t kDeviceId[] = {0x23, 0x09, 0x08, 0x00, 0x02, 0x9F, 0x91, 0x12, 0x00, 0x02, 0x0F};

}  // namespace

uint8_t Bmc::handle(uint8_t netfn_lun, uint8_t command, const uint8_t* data, size_t n,
                    int64_t now_ms, uint8_t* out, size_t* out_length) {
  *out_length = 0;
  if (ipmi::netfn_of(netfn_lun) == ipmi::kNetfnStorage && sel_present_) {
    switch (command) {
      case ipmi::kCmdGetSelInfo:
        if (n != 0) return ipmi::kCcBadLength;
        sel_.info(out);
        *out_length = ipmi::kSelInfoReplyLength;
        return ipmi::kCcOk;
      case ipmi::kCmdGetSelEntry:
        return sel_.entry(data, n, out, out_length);
      default:
        return ipmi::kCcInvalidCommand;
    }
  }
  if (ipmi::netfn_of(netfn_lun) != ipmi::kNetfnApp) return ipmi::kCcInvalidCommand;
  switch (command) {
    case ipmi::kCmdGetDeviceId:
      if (n != 0) return ipmi::kCcBadLength;
      std::memcpy(out, kDeviceId, sizeof(kDeviceId));
      *out_length = sizeof(kDeviceId);
      return ipmi::kCcOk;
    case ipmi::kCmdResetWatchdog:
      if (n != 0) return ipmi::kCcBadLength;
      return watchdog_.reset(now_ms);
    case ipmi::kCmdSetWatchdog:
      return watchdog_.set(data, n, now_ms);
    case ipmi::kCmdGetWatchdog:
      if (n != 0) return ipmi::kCcBadLength;
      watchdog_.get(now_ms, out);
      *out_length = ipmi::kGetReplyLength;
      return ipmi::kCcOk;
    default:
      return ipmi::kCcInvalidCommand;
  }
}

uint16_t Bmc::log_watchdog_event(const WatchdogEvent& event, uint32_t timestamp) {
  if (watchdog_.dont_log()) return 0;
  uint8_t offset = event.kind == WatchdogEvent::kPretimeout ? ipmi::kWatchdog2Interrupt
                                                            : ipmi::watchdog2_offset(event.action);
  uint8_t interrupt = event.kind == WatchdogEvent::kPretimeout ? event.pretimeout : 0;
  return sel_.add(timestamp, watchdog2_event(offset, event.use, interrupt));
}

const char* command_name(uint8_t netfn_lun, uint8_t command) {
  if (ipmi::netfn_of(netfn_lun) == ipmi::kNetfnStorage) {
    if (command == ipmi::kCmdGetSelInfo) return "get sel info";
    if (command == ipmi::kCmdGetSelEntry) return "get sel entry";
    return nullptr;
  }
  if (ipmi::netfn_of(netfn_lun) != ipmi::kNetfnApp) return nullptr;
  switch (command) {
    case ipmi::kCmdGetDeviceId:
      return "get device id";
    case ipmi::kCmdResetWatchdog:
      return "reset watchdog";
    case ipmi::kCmdSetWatchdog:
      return "set watchdog";
    case ipmi::kCmdGetWatchdog:
      return "get watchdog";
    default:
      return nullptr;
  }
}

}  // namespace bmcsim
