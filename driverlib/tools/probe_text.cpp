#include "driverlib/tools/probe_text.h"

#include <cstdarg>
#include <cstdio>

#include "ipmi/ipmi.h"

namespace probe {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
  char line[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof(line), fmt, args);
  va_end(args);
  return line;
}

// Tenths of a second, as "300.0 s".
std::string countdown(unsigned units) { return format("%u.%u s", units / 10, units % 10); }

}  // namespace

std::string status_text(unsigned long status) {
  switch (status) {
    case 0:
      return "success";
    case 1:
      return "bad argument";
    case 2:
      return "unknown or closed session";
    case 3:
      return "cannot connect to the BMC's VM-protocol port (see bmc= in vyrqd4w.ini)";
    case 4:
      return "the request could not be sent (in-box: WMI's ExecMethod failed)";
    case 5:
      return "no reply within reply_timeout_ms (the BMC or its driver did not answer)";
    case 6:
      return "connection to the BMC lost during the request";
    case 7:
      return "out of resources";
    case 8:
      return "Windows' IPMI driver is absent: no Microsoft_IPMI class or no active instance in "
             "root\\WMI (is there a BMC, and is the device \"Microsoft Generic IPMI Compliant "
             "Device\" working in Device Manager?)";
    case 9:
      return "access denied: run this as an administrator";
    case 10:
      return "COM or WMI failed to start, or WMI did not answer within connect_timeout_ms";
    case 11:
      return "the settings file vyrqd4w.ini beside the library has a line it cannot read (see "
             "\"settings:\" above): correct that line, or remove the file to use the in-box "
             "driver";
    default:
      return format("unknown status %lu", status);
  }
}

std::string completion_code_text(unsigned cc) {
  // IPMI 2.0 section 5.2, table 5-2: generic completion codes; 80h is the
  // Reset Watchdog Timer's own (section 27.5).
  const char* what = nullptr;
  switch (cc) {
    case 0x00:
      what = "success";
      break;
    case 0x80:
      what = "watchdog not initialised";
      break;
    case 0xC0:
      what = "node busy";
      break;
    case 0xC1:
      what = "invalid command";
      break;
    case 0xC3:
      what = "timeout";
      break;
    case 0xC7:
      what = "request data length invalid";
      break;
    case 0xCC:
      what = "invalid data field in request";
      break;
    case 0xD4:
      what = "insufficient privilege";
      break;
    case 0xD5:
      what = "not supported in present state";
      break;
    case 0xFF:
      what = "unspecified error";
      break;
    default:
      what = "other error";
      break;
  }
  return format("%02Xh (%s)", cc & 0xFF, what);
}

std::string device_id_text(const uint8_t* d, size_t n) {
  // IPMI 2.0 section 20.1: 11 bytes at least.
  if (n < 11)
    return format("  short Get Device ID reply: %u bytes, 11 expected\n", static_cast<unsigned>(n));
  std::string out;
  out += format("  device ID %02Xh, revision %u%s\n", d[0], d[1] & 0x0F,
                (d[1] & 0x80) != 0 ? ", provides device SDRs" : "");
  out += format("  firmware %u.%02X%s\n", d[2] & 0x7F, d[3],
                (d[2] & 0x80) != 0 ? " (update or self-initialisation in progress)" : "");
  out += format("  IPMI version %u.%u\n", d[4] & 0x0F, d[4] >> 4);
  unsigned manufacturer = d[6] | (d[7] << 8) | ((d[8] & 0x0F) << 16);
  out += format("  manufacturer ID %u (IANA), product ID %04Xh\n", manufacturer,
                static_cast<unsigned>(d[9] | (d[10] << 8)));
  return out;
}

namespace {

unsigned word_at(const uint8_t* d, size_t at) { return d[at] | (d[at + 1] << 8); }

uint32_t dword_at(const uint8_t* d, size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

}  // namespace

std::string watchdog_text(const uint8_t* d, size_t n) {
  // IPMI 2.0 section 27.7: 8 bytes; some BMCs leave out the present count.
  const size_t without_present = ipmi::kGetPresentCount;
  if (n < without_present)
    return format("  short Get Watchdog Timer reply: %u bytes, 8 expected\n",
                  static_cast<unsigned>(n));
  static const char* const kInterrupts[] = {"none", "SMI", "NMI / diagnostic interrupt",
                                            "messaging interrupt"};
  std::string out;
  uint8_t use = d[ipmi::kGetUse];
  bool running = (use & ipmi::kRunning) != 0;
  out += format("  timer use %s, %s%s\n", ipmi::use_name(use), running ? "running" : "stopped",
                (use & ipmi::kDontLog) != 0 ? ", expiry not logged" : "");
  unsigned action = d[ipmi::kGetActions] & ipmi::kActionMask;
  unsigned interrupt = (d[ipmi::kGetActions] >> ipmi::kPretimeoutShift) & 0x07;
  out += format("  action on expiry: %s; pre-timeout interrupt: %s",
                ipmi::action_name(static_cast<uint8_t>(action)),
                interrupt < 4 ? kInterrupts[interrupt] : "reserved");
  out += interrupt != 0 ? format(", %u s before expiry\n", d[ipmi::kGetPretimeout])
                        : std::string("\n");
  std::string present = n >= ipmi::kGetReplyLength ? countdown(word_at(d, ipmi::kGetPresentCount))
                                                   : std::string("not reported (6-byte reply)");
  out += format("  initial countdown %s, present countdown %s\n",
                countdown(word_at(d, ipmi::kGetInitialCount)).c_str(), present.c_str());
  std::string flags;
  for (uint8_t u = ipmi::kUseBiosFrb2; u <= ipmi::kUseOem; ++u) {
    if (!flags.empty()) flags += ", ";
    flags += format("%s %s", ipmi::use_name(u),
                    (d[ipmi::kGetExpiredFlags] & ipmi::expiration_flag(u)) != 0 ? "EXPIRED" : "no");
  }
  out += format("  expiration flags (kept until a Set clears them): %s\n", flags.c_str());
  return out;
}

std::string bmc_time_text(uint32_t t) {
  if (t == ipmi::kTimestampUnspecified) return "time unknown";
  if (t <= ipmi::kTimestampPreInit) return format("%lu s after the BMC started", (unsigned long)t);
  // Days since 1970 to a civil date (proleptic Gregorian calendar).
  long days = static_cast<long>(t / 86400);
  unsigned secs = t % 86400;
  long z = days + 719468;
  long era = z / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long year = static_cast<long>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned day = doy - (153 * mp + 2) / 5 + 1;
  unsigned month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) year++;
  return format("%04ld-%02u-%02u %02u:%02u:%02u UTC", year, month, day, secs / 3600, secs / 60 % 60,
                secs % 60);
}

bool sel_record_listed(const uint8_t* r, size_t n) {
  if (n < ipmi::kSelRecordLength || r[ipmi::kSelRecordType] != ipmi::kSelSystemEventRecord)
    return false;
  uint8_t type = r[ipmi::kSelSensorType];
  return (type == ipmi::kSensorWatchdog2 || type == ipmi::kSensorOsStop ||
          type == ipmi::kSensorOsBoot) &&
         (r[ipmi::kSelEventType] & ~ipmi::kEventDeassertion) == ipmi::kEventTypeSensorSpecific;
}

namespace {

// IPMI 2.0 table 42-3, the sensor-specific offsets.
std::string watchdog2_words(const uint8_t* r) {
  unsigned offset = r[ipmi::kSelEventData1] & ipmi::kEventOffsetMask;
  // Event data 1 bits 7..6 = 11b: event data 2 holds the interrupt type and
  // the timer use (section 29.7).
  bool has_use = (r[ipmi::kSelEventData1] & 0xC0) == 0xC0;
  unsigned use = r[ipmi::kSelEventData2] & 0x0F;
  std::string why;
  if (has_use && use == ipmi::kUseSmsOs)
    why = "; timer use SMS/OS: the operating system's agent stopped its resets (a hang)";
  else if (has_use && ipmi::is_bios_use(use))
    why = format("; timer use %s: the BIOS's boot watchdog, a boot hung", ipmi::use_name(use));
  else if (has_use)
    why = format("; timer use %s", ipmi::use_name(use));
  switch (offset) {
    case ipmi::kWatchdog2ExpiredOnly:
      return "Watchdog 2: the timer ran out, no action" + why;
    case ipmi::kWatchdog2HardReset:
      return "Watchdog 2: the timer ran out and reset the server (hard reset)" + why;
    case ipmi::kWatchdog2PowerDown:
      return "Watchdog 2: the timer ran out and powered the server down" + why;
    case ipmi::kWatchdog2PowerCycle:
      return "Watchdog 2: the timer ran out and power-cycled the server" + why;
    case ipmi::kWatchdog2Interrupt:
      return "Watchdog 2: pre-timeout interrupt" + why;
    default:
      return format("Watchdog 2: reserved offset %02Xh", offset);
  }
}

std::string os_stop_words(unsigned offset) {
  static const char* const kStops[] = {"critical stop during OS load",
                                       "run-time critical stop (a crash, blue screen)",
                                       "graceful stop",
                                       "graceful shutdown",
                                       "soft shutdown initiated by PEF",
                                       "agent not responding"};
  return offset < 6 ? format("OS Stop: %s", kStops[offset])
                    : format("OS Stop: reserved offset %02Xh", offset);
}

std::string os_boot_words(unsigned offset) {
  static const char* const kBoots[] = {"boot completed from A:",
                                       "boot completed from C: (hard disk)",
                                       "PXE boot completed",
                                       "diagnostic boot completed",
                                       "CD-ROM boot completed",
                                       "ROM boot completed",
                                       "boot completed, device not specified",
                                       "installation started",
                                       "installation completed",
                                       "installation aborted",
                                       "installation failed"};
  return offset < 11 ? format("OS Boot: %s", kBoots[offset])
                     : format("OS Boot: reserved offset %02Xh", offset);
}

}  // namespace

std::string sel_record_text(const uint8_t* r, size_t n) {
  if (!sel_record_listed(r, n)) return std::string();
  unsigned offset = r[ipmi::kSelEventData1] & ipmi::kEventOffsetMask;
  std::string what;
  switch (r[ipmi::kSelSensorType]) {
    case ipmi::kSensorWatchdog2:
      what = watchdog2_words(r);
      break;
    case ipmi::kSensorOsStop:
      what = os_stop_words(offset);
      break;
    default:
      what = os_boot_words(offset);
      break;
  }
  if (r[ipmi::kSelEventType] & ipmi::kEventDeassertion) what += " (deasserted)";
  return format("  %s  record %04Xh  ", bmc_time_text(dword_at(r, ipmi::kSelTimestamp)).c_str(),
                word_at(r, ipmi::kSelRecordId)) +
         what + "\n";
}

std::string sel_report(const Request& request, const SelBounds& bounds,
                       const std::function<unsigned long()>& clock_ms,
                       const std::function<void(const std::string&)>& progress) {
  std::vector<uint8_t> reply;
  unsigned cc = 0;
  std::string failure;
  if (!request(ipmi::kNetfnStorage, ipmi::kCmdGetSelInfo, nullptr, 0, &reply, &cc, &failure)) {
    if (cc == ipmi::kCcInvalidCommand)
      return "SEL: the BMC keeps no System Event Log (Get SEL Info answered " +
             completion_code_text(cc) + ")\n";
    return "SEL: FAILED, Get SEL Info: " + failure + "\n";
  }
  if (reply.size() < ipmi::kSelInfoLastAdd)
    return format("SEL: short Get SEL Info reply: %u bytes, 14 expected\n",
                  static_cast<unsigned>(reply.size()));
  unsigned total = word_at(reply.data(), ipmi::kSelInfoEntries);
  if (total == 0) return "SEL: empty, no records\n";
  std::string out = format("SEL: %u records", total);
  if (reply.size() >= ipmi::kSelInfoLastAdd + 4)
    out += ", the latest added " + bmc_time_text(dword_at(reply.data(), ipmi::kSelInfoLastAdd));
  out += "\n";

  std::vector<std::string> listed;  // oldest first, the newest bounds.listed kept
  unsigned long started = clock_ms();
  uint16_t id = ipmi::kSelFirstRecord;
  size_t read = 0;
  std::string stopped;
  while (id != ipmi::kSelLastRecord) {
    if (read >= bounds.max_records) {
      stopped = format("the bound of %u records", static_cast<unsigned>(bounds.max_records));
      break;
    }
    if (clock_ms() - started >= bounds.max_ms) {
      stopped = format("the bound of %lu s", bounds.max_ms / 1000);
      break;
    }
    uint8_t data[ipmi::kGetSelEntryRequestLength];
    ipmi::build_get_sel_entry(id, data);
    if (!request(ipmi::kNetfnStorage, ipmi::kCmdGetSelEntry, data, sizeof data, &reply, &cc,
                 &failure)) {
      stopped = format("a failed Get SEL Entry for record %04Xh: ", id) + failure;
      break;
    }
    if (reply.size() < ipmi::kGetSelEntryRecord + ipmi::kSelRecordLength) {
      stopped = format("a short Get SEL Entry reply for record %04Xh", id);
      break;
    }
    read++;
    const uint8_t* record = reply.data() + ipmi::kGetSelEntryRecord;
    if (sel_record_listed(record, ipmi::kSelRecordLength)) {
      listed.push_back(sel_record_text(record, ipmi::kSelRecordLength));
      if (listed.size() > bounds.listed) listed.erase(listed.begin());
    }
    id = static_cast<uint16_t>(word_at(reply.data(), ipmi::kGetSelEntryNextId));
    if (bounds.progress_every != 0 && read % bounds.progress_every == 0)
      progress(format("  reading the SEL: %u of %u records\n", static_cast<unsigned>(read), total));
  }
  if (!stopped.empty())
    out += format("  read %u of %u records, stopped by ", static_cast<unsigned>(read), total) +
           stopped + ": the newer records were not read\n";
  if (listed.empty()) return out + "  no Watchdog 2, OS Stop or OS Boot records\n";
  out += format("  watchdog and OS records, newest first (at most %u):\n",
                static_cast<unsigned>(bounds.listed));
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) out += *it;
  return out;
}

}  // namespace probe
