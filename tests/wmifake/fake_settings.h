// The fake provider's settings file "wmifake.ini", read from beside the DLL
// before each call, so that a test can change the fault under a running
// client. Plain C++ without Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driverlib/settings.h"

namespace wmifake {

// What the fake pretends is wrong with the machine's IPMI driver.
enum class Fault {
  kNone,
  kNoClass,        // the driver is not installed: root\WMI has no Microsoft_IPMI
  kNoInstance,     // the class is there, but no device: the enumeration is empty
  kInactive,       // the one instance reports Active FALSE
  kAccessDenied,   // the caller is no administrator: the data block refuses it
  kConnectDenied,  // ConnectServer itself refuses the caller
  kWmiDown,        // the WMI service is disabled: ConnectServer fails
  kNoLocator,      // WMI's locator is not registered: CoCreateInstance fails
  kExecFail,       // ExecMethod fails with fault_arg (an HRESULT)
  kStall,          // ExecMethod blocks fault_arg ms (0: until the fault changes), then fails
  kSlowConnect,    // ConnectServer blocks fault_arg ms (0: until the fault changes): WMI starting
  kSlowEnum,       // the enumeration's instance arrives fault_arg ms after the call
  kWideCc,         // ExecMethod answers a CompletionCode of 1C0h, as a VT_I4
};

struct Settings {
  Settings() { link.reply_timeout_ms = 5000; }
  // bmcsim's VM-protocol port (host, port) and how long the driver waits for
  // the BMC's answer before failing the call (reply_timeout_ms), as the
  // library's VM transport takes them.
  qd4::Settings link;
  Fault fault = Fault::kNone;
  uint32_t fault_arg = 0;
  // How many calls the fault hits, counted from the file's last change; -1: all.
  int32_t fault_count = -1;
  // A file that receives one line per call the fake serves; empty: none.
  char log[260] = "";
};

// Applies the "key=value" lines of text (length n) to *settings, read as the
// library reads its own file; unknown keys and malformed values are skipped.
// Returns the number of lines applied.
int parse_settings(const char* text, size_t n, Settings* settings);

// The fault's name as the settings file spells it.
const char* fault_name(Fault fault);

}  // namespace wmifake
