// format_system_error over arbitrary system texts, codes and buffer sizes.
// The buffer is heap-allocated at exactly the size passed, so AddressSanitizer
// catches a write past it; the result is checked against a model of the rule
// and the fake checks that the system's buffer is released and that no
// argument is read for a text with insertion markers.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli/commands.h"
#include "fake.h"

namespace {

[[noreturn]] void fail_check(const char *what, DWORD code, DWORD size, const std::string &text,
                             const std::string &got) {
  fprintf(stderr, "fuzz_error_text: %s (code 0x%x, size %u)\n  text [", what, (unsigned)code,
          (unsigned)size);
  for (unsigned char c : text) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  fprintf(stderr, "]\n  got  [");
  for (unsigned char c : got) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  fprintf(stderr, "]\n");
  abort();
}

// What the text must be: the message less its own line end (CR LF or a lone
// LF), then the code in lower-case hex; empty without a message, or when the
// message and the 14 characters around it do not fit.
std::string model(bool has_text, const std::string &message, DWORD code, DWORD size) {
  if (!has_text || message.empty() || size < message.size() + 14) return std::string();
  std::string kept = message;
  if (kept.size() >= 2 && kept.compare(kept.size() - 2, 2, "\r\n") == 0) {
    kept.resize(kept.size() - 2);
  } else if (kept.back() == '\n') {
    kept.resize(kept.size() - 1);
  }
  char suffix[16];
  snprintf(suffix, sizeof suffix, " (0x%x)", (unsigned)code);
  return kept + suffix;
}

// FormatMessageA calls that handed out a buffer.
size_t successful_formats() {
  size_t n = 0;
  for (const std::string &line : fake::journal("FormatMessageA"))
    if (line.find(" -> ") != std::string::npos) n++;
  return n;
}

uint32_t read_le32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

}  // namespace

// Input: one mode byte, the code (4 bytes, little-endian), the buffer size
// (2 bytes, taken modulo 2048), then the system text up to the first NUL.
// Mode & 3: 0 or 1, the code has this text; 2, the code has no text; 3, the
// code has the text but the FormatMessageA call itself fails.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 7) return 0;
  const int mode = data[0] & 3;
  const DWORD code = read_le32(data + 1);
  const DWORD buffer_size = (DWORD)((data[5] | data[6] << 8) % 2048);
  std::string message(reinterpret_cast<const char *>(data + 7), size - 7);
  message = message.substr(0, message.find('\0'));

  // The routine starts no thread and each input sets its own code's text, so
  // one world serves a run of inputs; a fresh one keeps the journal short.
  static unsigned inputs_in_world = 0;
  if (inputs_in_world++ % 256 == 0) {
    fake::end_process();
    fake::reset();
  }
  const size_t calls_before = fake::journal("FormatMessageA").size();
  const size_t formatted_before = successful_formats();
  const size_t freed_before = fake::journal("LocalFree").size();
  const size_t violations_before = fake::violations().size();

  const bool has_text = mode <= 1;
  if (mode == 2) {
    fake::remove_message(code);
  } else {
    fake::set_message(code, message);
  }
  if (mode == 3)
    fake::fail("FormatMessageA", static_cast<int>(calls_before) + 1, ERROR_NOT_ENOUGH_MEMORY);

  // Exactly buffer_size bytes; malloc(0) still gives a pointer ASan guards.
  char *buffer = static_cast<char *>(malloc(buffer_size));
  if (buffer_size > 0) memset(buffer, 'Z', buffer_size);
  char *returned = format_system_error(code, buffer, buffer_size);
  if (returned != buffer) fail_check("the buffer is not returned", code, buffer_size, message, "");

  if (buffer_size > 0) {
    const char *end = static_cast<const char *>(memchr(buffer, '\0', buffer_size));
    if (end == nullptr)
      fail_check("no NUL within the size", code, buffer_size, message,
                 std::string(buffer, buffer_size));
    std::string got(static_cast<const char *>(buffer), end);
    if (!got.empty()) {
      char suffix[16];
      snprintf(suffix, sizeof suffix, " (0x%x)", (unsigned)code);
      size_t n = strlen(suffix);
      if (got.size() < n || got.compare(got.size() - n, n, suffix) != 0)
        fail_check("a text that does not end in the code", code, buffer_size, message, got);
    }
    if (got != model(has_text, message, code, buffer_size))
      fail_check("not the expected text", code, buffer_size, message, got);
  }
  free(buffer);

  // One request to the system, and its buffer released exactly once.
  if (fake::journal("FormatMessageA").size() != calls_before + 1)
    fail_check("not exactly one FormatMessageA call", code, buffer_size, message, "");
  size_t formatted = successful_formats() - formatted_before;
  size_t freed = fake::journal("LocalFree").size() - freed_before;
  if (formatted != freed)
    fail_check("the system's buffer is not released once", code, buffer_size, message,
               std::to_string(formatted) + " formatted, " + std::to_string(freed) + " freed");
  if (fake::violations().size() != violations_before)
    fail_check(("fake violation: " + fake::violations().back()).c_str(), code, buffer_size,
               message, "");
  return 0;
}
