// The library's settings file "vyrqd4w.ini", read from beside the DLL. Plain
// C++ without Windows headers, so the parser also builds on the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd4 {

// How the library reaches the BMC: Windows' own IPMI driver through WMI, or a
// simulator's VM-protocol port.
enum class TransportKind : uint8_t { kInbox, kVm };

struct Settings {
  // "transport=vm|inbox"; a "bmc=" line alone means vm. No file: inbox.
  TransportKind transport = TransportKind::kInbox;
  bool transport_given = false;
  bool bmc_given = false;
  // The BMC's VM-protocol port, an IPv4 address in dotted form.
  char host[64] = "127.0.0.1";
  uint16_t port = 9002;
  // How long OpenQD4Driver waits for the TCP connection (in-box: for WMI).
  uint32_t connect_timeout_ms = 2000;
  bool connect_timeout_given = false;
  // How long SendQD4Request waits for its reply.
  uint32_t reply_timeout_ms = 3000;
};

constexpr uint32_t kMinTimeoutMs = 100;
constexpr uint32_t kMaxTimeoutMs = 10000;

// The longest settings file read; a longer one has a line cut off.
constexpr size_t kMaxSettingsFile = 4096;

// Applies the "key=value" lines of text (length n) to *settings and returns
// the number of lines applied. A UTF-8 byte-order mark is skipped; blank
// lines, lines starting with ; or [ and anything from # on are comments.
// Any other line that is not a known key with a valid value (an unknown key,
// a malformed or out-of-range value, a line past kMaxSettingsFile bytes) is
// not applied: the number of the first one, from 1, goes to *bad_line, 0 when
// every line was read.
int parse_settings(const char* text, size_t n, Settings* settings, int* bad_line = nullptr);

// The same reading for another file of this form, with keys of its own.

// A trimmed piece [b, e) of a settings line.
struct SettingText {
  const char* b;
  const char* e;
  bool is(const char* word) const;
};

// Calls apply for the trimmed key and value of each "key=value" line of text
// (length n), read as parse_settings reads; comments are passed over. Returns
// the number of lines apply took (returned true); *bad_line as parse_settings.
using ApplySetting = bool (*)(SettingText key, SettingText value, void* context);
int read_settings(const char* text, size_t n, ApplySetting apply, void* context,
                  int* bad_line = nullptr);

// One line of the library's own keys; false for another key or a bad value.
bool apply_setting(SettingText key, SettingText value, Settings* settings);

// A decimal number in [lo, hi] filling [b, e) exactly.
bool parse_number(const char* b, const char* e, uint32_t lo, uint32_t hi, uint32_t* out);

}  // namespace qd4
