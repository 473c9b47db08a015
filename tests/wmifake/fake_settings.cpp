#include "fake_settings.h"

#include <cstring>

namespace wmifake {

namespace {

struct Span {
  const char* b;
  const char* e;
  bool is(const char* word) const {
    size_t n = std::strlen(word);
    return static_cast<size_t>(e - b) == n && std::strncmp(b, word, n) == 0;
  }
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

Span trim(Span s) {
  while (s.b < s.e && is_space(*s.b)) ++s.b;
  while (s.e > s.b && is_space(s.e[-1])) --s.e;
  return s;
}

// A number filling s exactly, decimal or (with hex) hexadecimal.
bool parse_number(Span s, bool hex, uint32_t* out) {
  if (s.b == s.e || s.e - s.b > 8) return false;
  uint32_t v = 0;
  for (const char* p = s.b; p < s.e; ++p) {
    char c = *p;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    v = v * (hex ? 16 : 10) + digit;
  }
  *out = v;
  return true;
}

bool copy_to(Span s, char* out, size_t cap) {
  size_t len = static_cast<size_t>(s.e - s.b);
  if (len >= cap) return false;
  std::memcpy(out, s.b, len);
  out[len] = '\0';
  return true;
}

bool apply_bmc(Span v, Settings* s) {
  const char* colon = v.e;
  for (const char* p = v.b; p < v.e; ++p) {
    if (*p == ':') colon = p;
  }
  uint32_t port = s->port;
  if (colon != v.e &&
      (!parse_number({colon + 1, v.e}, false, &port) || port == 0 || port > 65535)) {
    return false;
  }
  if (colon == v.b || !copy_to({v.b, colon}, s->host, sizeof(s->host))) return false;
  s->port = static_cast<uint16_t>(port);
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
bool apply_fault(Span v, Settings* s) {
  const char* space = v.b;
  while (space < v.e && *space != ' ') ++space;
  Span name{v.b, space};
  Span arg = trim({space, v.e});
  for (const auto& f : kFaults) {
    if (!name.is(f.name)) continue;
    uint32_t value = 0;
    if (f.fault == Fault::kExecFail) {
      value = 0x80041001;  // WBEM_E_FAILED
      if (arg.b != arg.e && !parse_number(arg, true, &value)) return false;
    } else if (f.fault == Fault::kStall || f.fault == Fault::kSlowConnect ||
               f.fault == Fault::kSlowEnum) {
      if (arg.b != arg.e && !parse_number(arg, false, &value)) return false;
      // Results that never arrive would need no enumerator: slow_enum needs a time.
      if (f.fault == Fault::kSlowEnum && value == 0) return false;
    } else if (arg.b != arg.e) {
      return false;
    }
    s->fault = f.fault;
    s->fault_arg = value;
    return true;
  }
  return false;
}

bool apply_line(Span line, Settings* s) {
  line = trim(line);
  if (line.b == line.e || *line.b == '#' || *line.b == ';' || *line.b == '[') return false;
  const char* eq = line.b;
  while (eq < line.e && *eq != '=') ++eq;
  if (eq == line.e) return false;
  Span key = trim({line.b, eq});
  Span value = trim({eq + 1, line.e});
  uint32_t number = 0;
  if (key.is("bmc")) return apply_bmc(value, s);
  if (key.is("fault")) return apply_fault(value, s);
  if (key.is("log")) return copy_to(value, s->log, sizeof(s->log));
  if (key.is("reply_timeout_ms")) {
    if (!parse_number(value, false, &number) || number < 100 || number > 600000) return false;
    s->reply_timeout_ms = number;
    return true;
  }
  if (key.is("count")) {
    if (!parse_number(value, false, &number) || number > 1000000) return false;
    s->fault_count = static_cast<int32_t>(number);
    return true;
  }
  return false;
}

}  // namespace

int parse_settings(const char* text, size_t n, Settings* settings) {
  if (text == nullptr || settings == nullptr) return 0;
  int applied = 0;
  const char* end = text + n;
  const char* line = text;
  while (line < end) {
    const char* eol = line;
    while (eol < end && *eol != '\n') ++eol;
    if (apply_line({line, eol}, settings)) ++applied;
    line = eol < end ? eol + 1 : end;
  }
  return applied;
}

const char* fault_name(Fault fault) {
  for (const auto& f : kFaults) {
    if (f.fault == fault) return f.name;
  }
  return "?";
}

}  // namespace wmifake
