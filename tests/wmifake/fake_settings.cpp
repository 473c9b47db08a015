#include "fake_settings.h"

#include <cstring>

namespace wmifake {

namespace {

using qd4::SettingText;

// An HRESULT in hexadecimal, up to eight digits filling t exactly.
bool parse_hex(SettingText t, uint32_t* out) {
  if (t.b == t.e || t.e - t.b > 8) return false;
  uint32_t v = 0;
  for (const char* p = t.b; p < t.e; ++p) {
    int c = *p;
    if (c >= 'A' && c <= 'F') c += 'a' - 'A';
    if (c >= '0' && c <= '9') {
      c -= '0';
    } else if (c >= 'a' && c <= 'f') {
      c -= 'a' - 10;
    } else {
      return false;
    }
    v = v * 16 + static_cast<uint32_t>(c);
  }
  *out = v;
  return true;
}

const struct {
  const char* name;
  Fault fault;
} kFaults[] = {
    {"none", Fault::kNone},
    {"no_class", Fault::kNoClass},
    {"no_instance", Fault::kNoInstance},
    {"inactive", Fault::kInactive},
    {"access_denied", Fault::kAccessDenied},
    {"connect_denied", Fault::kConnectDenied},
    {"wmi_down", Fault::kWmiDown},
    {"no_locator", Fault::kNoLocator},
    {"exec_fail", Fault::kExecFail},
    {"stall", Fault::kStall},
    {"slow_connect", Fault::kSlowConnect},
    {"slow_enum", Fault::kSlowEnum},
    {"wide_cc", Fault::kWideCc},
};

// "NAME [ARG]": exec_fail's ARG is an HRESULT in hex (default WBEM_E_FAILED),
// the waiting faults' a time in ms (default 0: until the fault is changed).
bool apply_fault(SettingText v, Settings* s) {
  SettingText name{v.b, v.b};
  while (name.e < v.e && *name.e != ' ') ++name.e;
  SettingText arg{name.e, v.e};
  while (arg.b < arg.e && *arg.b == ' ') ++arg.b;
  bool has_arg = arg.b != arg.e;
  for (const auto& f : kFaults) {
    if (!name.is(f.name)) continue;
    uint32_t value = 0;
    if (f.fault == Fault::kExecFail) {
      value = 0x80041001;  // WBEM_E_FAILED
      if (has_arg && !parse_hex(arg, &value)) return false;
    } else if (f.fault == Fault::kStall || f.fault == Fault::kSlowConnect ||
               f.fault == Fault::kSlowEnum) {
      if (has_arg && !qd4::parse_number(arg.b, arg.e, 0, 99999999, &value)) return false;
      // Results that never arrive would need no enumerator: slow_enum needs a time.
      if (f.fault == Fault::kSlowEnum && value == 0) return false;
    } else if (has_arg) {
      return false;
    }
    s->fault = f.fault;
    s->fault_arg = value;
    return true;
  }
  return false;
}

bool apply_line(SettingText key, SettingText value, void* settings) {
  Settings* s = static_cast<Settings*>(settings);
  uint32_t number = 0;
  if (key.is("bmc")) return qd4::apply_setting(key, value, &s->link);
  if (key.is("reply_timeout_ms")) {
    return qd4::parse_number(value.b, value.e, 100, 600000, &s->link.reply_timeout_ms);
  }
  if (key.is("fault")) return apply_fault(value, s);
  if (key.is("log")) {
    size_t len = static_cast<size_t>(value.e - value.b);
    if (len >= sizeof(s->log)) return false;
    std::memcpy(s->log, value.b, len);
    s->log[len] = '\0';
    return true;
  }
  if (key.is("count")) {
    if (!qd4::parse_number(value.b, value.e, 0, 1000000, &number)) return false;
    s->fault_count = static_cast<int32_t>(number);
    return true;
  }
  return false;
}

}  // namespace

int parse_settings(const char* text, size_t n, Settings* settings) {
  if (settings == nullptr) return 0;
  return qd4::read_settings(text, n, apply_line, settings);
}

const char* fault_name(Fault fault) {
  for (const auto& f : kFaults) {
    if (f.fault == fault) return f.name;
  }
  return "?";
}

}  // namespace wmifake
