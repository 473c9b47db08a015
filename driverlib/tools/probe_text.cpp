#include "driverlib/tools/probe_text.h"

#include <cstdarg>
#include <cstdio>

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

std::string watchdog_text(const uint8_t* d, size_t n) {
  // IPMI 2.0 section 27.7: 8 bytes.
  if (n < 8)
    return format("  short Get Watchdog Timer reply: %u bytes, 8 expected\n",
                  static_cast<unsigned>(n));
  static const char* const kUses[] = {"reserved (0)", "BIOS FRB2", "BIOS/POST",    "OS load",
                                      "SMS/OS",       "OEM",       "reserved (6)", "reserved (7)"};
  static const char* const kActions[] = {"no action", "hard reset", "power down", "power cycle"};
  static const char* const kInterrupts[] = {"none", "SMI", "NMI / diagnostic interrupt",
                                            "messaging interrupt"};
  std::string out;
  bool running = (d[0] & 0x40) != 0;
  out += format("  timer use %s, %s%s\n", kUses[d[0] & 0x07], running ? "running" : "stopped",
                (d[0] & 0x80) != 0 ? ", expiry not logged" : "");
  unsigned action = d[1] & 0x07;
  unsigned interrupt = (d[1] >> 4) & 0x07;
  out += format("  action on expiry: %s; pre-timeout interrupt: %s",
                action < 4 ? kActions[action] : "reserved",
                interrupt < 4 ? kInterrupts[interrupt] : "reserved");
  out += interrupt != 0 ? format(", %u s before expiry\n", d[2]) : std::string("\n");
  out += format("  initial countdown %s, present countdown %s\n",
                countdown(d[4] | (d[5] << 8)).c_str(), countdown(d[6] | (d[7] << 8)).c_str());
  std::string flags;
  for (unsigned bit = 1; bit <= 5; ++bit) {
    if ((d[3] & (1u << bit)) == 0) continue;
    if (!flags.empty()) flags += ", ";
    flags += kUses[bit];
  }
  out += format("  expired earlier for: %s\n", flags.empty() ? "none" : flags.c_str());
  return out;
}

}  // namespace probe
