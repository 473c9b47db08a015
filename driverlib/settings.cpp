#include "driverlib/settings.h"

#include <cstring>

namespace qd4 {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Trims [*b, *e) in place.
void trim(const char** b, const char** e) {
  while (*b < *e && is_space(**b)) ++*b;
  while (*e > *b && is_space((*e)[-1])) --*e;
}

bool equals(const char* b, const char* e, const char* word) {
  size_t n = std::strlen(word);
  return static_cast<size_t>(e - b) == n && std::strncmp(b, word, n) == 0;
}

}  // namespace

bool parse_number(const char* b, const char* e, uint32_t lo, uint32_t hi, uint32_t* out) {
  if (b == e || e - b > 9) return false;
  uint32_t v = 0;
  for (const char* p = b; p < e; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

namespace {

// Dotted IPv4: exactly four numbers 0..255.
bool is_ipv4(const char* b, const char* e) {
  int parts = 0;
  const char* p = b;
  for (;;) {
    const char* q = p;
    while (q < e && *q != '.') ++q;
    uint32_t v;
    if (!parse_number(p, q, 0, 255, &v)) return false;
    ++parts;
    if (q == e) return parts == 4;
    if (parts == 4) return false;
    p = q + 1;
  }
}

bool apply_bmc(const char* b, const char* e, Settings* s) {
  const char* colon = e;
  for (const char* p = b; p < e; ++p) {
    if (*p == ':') colon = p;
  }
  const char* host_end = colon;
  uint32_t port = s->port;
  if (colon != e && !parse_number(colon + 1, e, 1, 65535, &port)) return false;
  if (!is_ipv4(b, host_end)) return false;
  size_t len = static_cast<size_t>(host_end - b);
  if (len >= sizeof(s->host)) return false;
  std::memcpy(s->host, b, len);
  s->host[len] = '\0';
  s->port = static_cast<uint16_t>(port);
  s->bmc_given = true;
  return true;
}

bool apply_transport(const char* b, const char* e, Settings* s) {
  if (equals(b, e, "vm")) {
    s->transport = TransportKind::kVm;
  } else if (equals(b, e, "inbox")) {
    s->transport = TransportKind::kInbox;
  } else {
    return false;
  }
  s->transport_given = true;
  return true;
}

enum class Line { kComment, kApplied, kBad };

// One line: anything from # on is a comment, and so are blank lines, lines
// starting with ; and section headers; a line without "=" is bad.
Line read_line(const char* b, const char* e, ApplySetting apply, void* context) {
  const char* hash = b;
  while (hash < e && *hash != '#') ++hash;
  e = hash;
  trim(&b, &e);
  if (b == e || *b == ';' || *b == '[') return Line::kComment;
  const char* eq = b;
  while (eq < e && *eq != '=') ++eq;
  if (eq == e) return Line::kBad;
  SettingText key = {b, eq};
  SettingText value = {eq + 1, e};
  trim(&key.b, &key.e);
  trim(&value.b, &value.e);
  return apply(key, value, context) ? Line::kApplied : Line::kBad;
}

bool apply_to(SettingText key, SettingText value, void* settings) {
  return apply_setting(key, value, static_cast<Settings*>(settings));
}

}  // namespace

bool SettingText::is(const char* word) const { return equals(b, e, word); }

bool apply_setting(SettingText key, SettingText value, Settings* s) {
  const char* vb = value.b;
  const char* ve = value.e;
  if (key.is("bmc")) return apply_bmc(vb, ve, s);
  if (key.is("transport")) return apply_transport(vb, ve, s);
  if (key.is("connect_timeout_ms")) {
    bool ok = parse_number(vb, ve, kMinTimeoutMs, kMaxTimeoutMs, &s->connect_timeout_ms);
    if (ok) s->connect_timeout_given = true;
    return ok;
  }
  if (key.is("reply_timeout_ms")) {
    return parse_number(vb, ve, kMinTimeoutMs, kMaxTimeoutMs, &s->reply_timeout_ms);
  }
  return false;
}

int read_settings(const char* text, size_t n, ApplySetting apply, void* context, int* bad_line) {
  if (bad_line != nullptr) *bad_line = 0;
  if (text == nullptr) return 0;
  int applied = 0;
  int number = 0;
  const char* end = text + n;
  const char* line = text;
  // Notepad writes a UTF-8 file with a byte-order mark.
  if (n >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) line += 3;
  while (line < end) {
    const char* eol = line;
    while (eol < end && *eol != '\n') ++eol;
    ++number;
    // A line that reaches past the bound may have been cut: not believed.
    Line result = n > kMaxSettingsFile && static_cast<size_t>(eol - text) >= kMaxSettingsFile
                      ? Line::kBad
                      : read_line(line, eol, apply, context);
    if (result == Line::kApplied) ++applied;
    if (result == Line::kBad && bad_line != nullptr && *bad_line == 0) *bad_line = number;
    line = eol < end ? eol + 1 : end;
  }
  return applied;
}

int parse_settings(const char* text, size_t n, Settings* settings, int* bad_line) {
  if (bad_line != nullptr) *bad_line = 0;
  if (text == nullptr || settings == nullptr) return 0;
  int applied = read_settings(text, n, apply_to, settings, bad_line);
  // An address of a VM-protocol port alone chooses that transport; an
  // explicit transport line wins wherever it stands.
  if (settings->bmc_given && !settings->transport_given) settings->transport = TransportKind::kVm;
  return applied;
}

}  // namespace qd4
