// The IPMI vocabulary of this project: network functions, command numbers,
// completion codes and the fields of the watchdog's requests and replies, each
// with the section of IPMI 2.0 that defines it. Used by the
// service, our stand-in library and its probe, the BMC simulator and the fakes.
// Plain C++ without platform headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace ipmi {

// Section 5.1, table 5-1: network functions (requests even, responses odd).
constexpr uint8_t kNetfnApp = 0x06;
constexpr uint8_t kNetfnStorage = 0x0A;
// Section 5.1: the netfn/LUN byte carries the netfn in bits 7..2, the LUN in 1..0.
constexpr uint8_t netfn_lun(uint8_t netfn, uint8_t lun) {
  return static_cast<uint8_t>(netfn << 2 | (lun & 3));
}
constexpr uint8_t netfn_of(uint8_t netfn_lun) { return static_cast<uint8_t>(netfn_lun >> 2); }
constexpr uint8_t lun_of(uint8_t netfn_lun) { return static_cast<uint8_t>(netfn_lun & 3); }
// A response's netfn is its (even) request's plus one, with the same LUN:
// 18h (App request, LUN 0) gives 1Ch.
constexpr uint8_t response_netfn_lun(uint8_t request_netfn_lun) {
  return static_cast<uint8_t>(request_netfn_lun | (1 << 2));
}
// Every request the service sends: NetFn Application, LUN 00b (18h).
constexpr uint8_t kAppLun0 = netfn_lun(kNetfnApp, 0);
// Section 5.5: the BMC's slave address.
constexpr uint8_t kBmcAddress = 0x20;

// Commands of NetFn Application (appendix G).
constexpr uint8_t kCmdGetDeviceId = 0x01;    // section 20.1
constexpr uint8_t kCmdResetWatchdog = 0x22;  // section 27.5
constexpr uint8_t kCmdSetWatchdog = 0x24;    // section 27.6
constexpr uint8_t kCmdGetWatchdog = 0x25;    // section 27.7
// Commands of NetFn Storage (appendix G).
constexpr uint8_t kCmdGetSelInfo = 0x40;   // section 31.2
constexpr uint8_t kCmdGetSelEntry = 0x43;  // section 31.5

// Section 5.2, table 5-2: completion codes.
constexpr uint8_t kCcOk = 0x00;
constexpr uint8_t kCcNodeBusy = 0xC0;
constexpr uint8_t kCcInvalidCommand = 0xC1;
constexpr uint8_t kCcTimeout = 0xC3;
constexpr uint8_t kCcBadLength = 0xC7;
constexpr uint8_t kCcNotPresent = 0xCB;  // requested record not present
constexpr uint8_t kCcParameterOutOfRange = 0xC9;
constexpr uint8_t kCcInvalidData = 0xCC;
constexpr uint8_t kCcNoResponse = 0xCE;           // response could not be provided
constexpr uint8_t kCcFirmwareUpdate = 0xD1;       // device in firmware update mode
constexpr uint8_t kCcInitialising = 0xD2;         // BMC initialisation in progress
constexpr uint8_t kCcNotInPresentState = 0xD5;    // not supported in present state
constexpr uint8_t kCcSubfunctionDisabled = 0xD6;  // sub-function disabled or unavailable
constexpr uint8_t kCcUnspecified = 0xFF;
// Table 5-2: the answers of a BMC that is busy for now; the same request may
// be taken a moment later.
constexpr bool is_transient(uint8_t cc) {
  return cc == kCcNodeBusy || cc == kCcTimeout || cc == kCcNoResponse || cc == kCcFirmwareUpdate ||
         cc == kCcInitialising;
}
// Table 5-2: the answers with which BMCs refuse a Set Watchdog Timer that asks
// for a pre-timeout interrupt they do not have (ipmi_sim: CCh; others C9h,
// D5h, D6h or C1h).
constexpr bool refuses_pretimeout(uint8_t cc) {
  return cc == kCcInvalidCommand || cc == kCcParameterOutOfRange || cc == kCcInvalidData ||
         cc == kCcNotInPresentState || cc == kCcSubfunctionDisabled;
}
// Section 27.5: Reset Watchdog Timer before any Set since the BMC started
// ("attempt to start un-initialized watchdog").
constexpr uint8_t kCcWatchdogNotSet = 0x80;

// Section 27.6: timer use, bits 2..0 of the Set's first byte and of the Get
// reply's first byte.
constexpr uint8_t kUseBiosFrb2 = 1;
constexpr uint8_t kUseBiosPost = 2;
constexpr uint8_t kUseOsLoad = 3;
constexpr uint8_t kUseSmsOs = 4;
constexpr uint8_t kUseOem = 5;
constexpr uint8_t kUseMask = 0x07;
// The first byte's flags: in a Set, don't stop a running timer (bit 6); in a
// Get reply, the timer is running (bit 6); don't log the expiry (bit 7).
constexpr uint8_t kDontStop = 0x40;
constexpr uint8_t kRunning = 0x40;
constexpr uint8_t kDontLog = 0x80;
// Section 27.6: timeout action, bits 2..0 of the second byte.
constexpr uint8_t kActionNone = 0;
constexpr uint8_t kActionHardReset = 1;
constexpr uint8_t kActionPowerDown = 2;
constexpr uint8_t kActionPowerCycle = 3;
constexpr uint8_t kActionMask = 0x07;
// Section 27.6: pre-timeout interrupt, bits 6..4 of the second byte.
constexpr uint8_t kPretimeoutNone = 0;
constexpr uint8_t kPretimeoutSmi = 1;
constexpr uint8_t kPretimeoutNmi = 2;
constexpr uint8_t kPretimeoutMessaging = 3;
constexpr uint8_t kPretimeoutShift = 4;
constexpr uint8_t kPretimeoutMask = 0x07;  // after the shift
// Section 27.6: the fourth byte clears the expiration flags whose bits it
// sets; the Get reply's fifth byte reports them. A timer use's flag is bit
// (use): FRB2 bit 1 ... OEM bit 5.
constexpr uint8_t expiration_flag(uint8_t use) { return static_cast<uint8_t>(1u << (use & 7)); }
// The flags of the five defined uses; bits 0, 6 and 7 are reserved.
constexpr uint8_t kExpirationFlagsMask = 0x3E;
// The uses the BIOS arms for the boot, before an operating system takes over.
constexpr bool is_bios_use(uint8_t use) {
  return use == kUseBiosFrb2 || use == kUseBiosPost || use == kUseOsLoad;
}
// The uses and actions in words, for entries, journals and listings.
inline const char *use_name(uint8_t use) {
  static const char *const kNames[] = {"reserved", "BIOS FRB2", "BIOS POST", "OS Load",
                                       "SMS/OS",   "OEM",       "reserved",  "reserved"};
  return kNames[use & kUseMask];
}
inline const char *action_name(uint8_t action) {
  static const char *const kNames[] = {"no action", "hard reset", "power down", "power cycle",
                                       "reserved",  "reserved",   "reserved",   "reserved"};
  return kNames[action & kActionMask];
}
// Section 27.6: the count is in units of 100 ms.
constexpr uint32_t kMsPerCount = 100;

// Section 27.6: the Set Watchdog Timer request's six data bytes.
constexpr size_t kSetRequestLength = 6;
struct SetWatchdog {
  uint8_t use;
  bool dont_stop;
  bool dont_log;
  uint8_t action;
  uint8_t pretimeout_interrupt;
  uint8_t pretimeout_seconds;
  uint8_t clear_flags;
  uint16_t count;  // 100 ms units
};
inline void build_set_watchdog(const SetWatchdog &set, uint8_t out[kSetRequestLength]) {
  out[0] = static_cast<uint8_t>((set.use & kUseMask) | (set.dont_stop ? kDontStop : 0) |
                                (set.dont_log ? kDontLog : 0));
  out[1] = static_cast<uint8_t>((set.action & kActionMask) |
                                (set.pretimeout_interrupt & kPretimeoutMask) << kPretimeoutShift);
  out[2] = set.pretimeout_seconds;
  out[3] = set.clear_flags;
  out[4] = static_cast<uint8_t>(set.count & 0xFF);
  out[5] = static_cast<uint8_t>(set.count >> 8);
}
// The BMC's side: the fields of a Set request, reserved bits dropped.
inline SetWatchdog parse_set_watchdog(const uint8_t in[kSetRequestLength]) {
  SetWatchdog set;
  set.use = static_cast<uint8_t>(in[0] & kUseMask);
  set.dont_stop = (in[0] & kDontStop) != 0;
  set.dont_log = (in[0] & kDontLog) != 0;
  set.action = static_cast<uint8_t>(in[1] & kActionMask);
  set.pretimeout_interrupt = static_cast<uint8_t>((in[1] >> kPretimeoutShift) & kPretimeoutMask);
  set.pretimeout_seconds = in[2];
  set.clear_flags = in[3];
  set.count = static_cast<uint16_t>(in[4] | in[5] << 8);
  return set;
}

// Section 27.7: the Get Watchdog Timer reply's data bytes after the
// completion code. Some BMCs answer short (OpenIPMI's ipmi_sim sends 6,
// without the present count): a reader checks the length of what it reads.
constexpr size_t kGetReplyLength = 8;
constexpr size_t kGetUse = 0;           // timer use, with kRunning and kDontLog
constexpr size_t kGetActions = 1;       // action and pre-timeout interrupt, as in the Set
constexpr size_t kGetPretimeout = 2;    // seconds
constexpr size_t kGetExpiredFlags = 3;  // expiration flags
constexpr size_t kGetInitialCount = 4;  // LSB, MSB
constexpr size_t kGetPresentCount = 6;  // LSB, MSB

// Section 31.2: the Get SEL Info reply's data bytes: SEL version, entries
// (LSB, MSB), free space, the most recent addition's and erase's timestamps,
// the operation support byte.
constexpr size_t kSelInfoReplyLength = 14;
constexpr size_t kSelInfoVersion = 0;
constexpr size_t kSelInfoEntries = 1;  // LSB, MSB
constexpr size_t kSelInfoFreeSpace = 3;
constexpr size_t kSelInfoLastAdd = 5;  // timestamp, LSB first
// Section 31.5: the Get SEL Entry request: reservation ID (0 for a whole
// record), record ID, offset, bytes to read (FFh: the whole record); the
// reply: the next record's ID, then the record.
constexpr size_t kGetSelEntryRequestLength = 6;
constexpr uint8_t kSelReadWholeRecord = 0xFF;
constexpr uint16_t kSelFirstRecord = 0x0000;
constexpr uint16_t kSelLastRecord = 0xFFFF;  // as a next ID: no record follows
constexpr size_t kGetSelEntryNextId = 0;     // LSB, MSB
constexpr size_t kGetSelEntryRecord = 2;
inline void build_get_sel_entry(uint16_t record_id, uint8_t out[kGetSelEntryRequestLength]) {
  out[0] = out[1] = 0;  // no reservation
  out[2] = static_cast<uint8_t>(record_id & 0xFF);
  out[3] = static_cast<uint8_t>(record_id >> 8);
  out[4] = 0;
  out[5] = kSelReadWholeRecord;
}

// Section 32.1: a SEL record of 16 bytes; a system event record (type 02h)
// carries a timestamp, the generator, the sensor and the event.
constexpr size_t kSelRecordLength = 16;
constexpr size_t kSelRecordId = 0;  // LSB, MSB
constexpr size_t kSelRecordType = 2;
constexpr size_t kSelTimestamp = 3;  // seconds, LSB first
constexpr size_t kSelGeneratorId = 7;
constexpr size_t kSelEvmRev = 9;
constexpr size_t kSelSensorType = 10;
constexpr size_t kSelSensorNumber = 11;
constexpr size_t kSelEventType = 12;   // bit 7: deassertion; bits 6..0: event/reading type
constexpr size_t kSelEventData1 = 13;  // bits 3..0: the offset
constexpr size_t kSelEventData2 = 14;
constexpr size_t kSelEventData3 = 15;
constexpr uint8_t kSelSystemEventRecord = 0x02;
// Section 32.2: the generator ID of the BMC itself (slave address 20h, LUN 0).
constexpr uint16_t kGeneratorBmc = 0x0020;
// Table 32-1: the event message format revision of IPMI 2.0.
constexpr uint8_t kEvmRev = 0x04;
constexpr uint8_t kEventDeassertion = 0x80;
constexpr uint8_t kEventOffsetMask = 0x0F;
// Section 37: timestamps are seconds since 1970-01-01 UTC; up to 20000000h
// they count from the BMC's initialisation; FFFFFFFFh is none.
constexpr uint32_t kTimestampPreInit = 0x20000000u;
constexpr uint32_t kTimestampUnspecified = 0xFFFFFFFFu;

// Table 42-1: event/reading type 6Fh, sensor-specific offsets.
constexpr uint8_t kEventTypeSensorSpecific = 0x6F;
// Table 42-3: sensor types and their sensor-specific offsets.
constexpr uint8_t kSensorOsBoot = 0x1F;
constexpr uint8_t kSensorOsStop = 0x20;
constexpr uint8_t kSensorWatchdog2 = 0x23;
// Watchdog 2: the timer ran out, and what the BMC did; event data 2 carries
// the interrupt type in bits 7..4 and the timer use in bits 3..0.
constexpr uint8_t kWatchdog2ExpiredOnly = 0x00;
constexpr uint8_t kWatchdog2HardReset = 0x01;
constexpr uint8_t kWatchdog2PowerDown = 0x02;
constexpr uint8_t kWatchdog2PowerCycle = 0x03;
constexpr uint8_t kWatchdog2Interrupt = 0x08;
// The Watchdog 2 offset for a timeout action of section 27.6.
constexpr uint8_t watchdog2_offset(uint8_t action) {
  return (action & kActionMask) <= kActionPowerCycle ? static_cast<uint8_t>(action & kActionMask)
                                                     : kWatchdog2ExpiredOnly;
}

}  // namespace ipmi
