// The decimal conversion and the timeout taken from the first argument, on
// arbitrary texts: the properties they must keep, and at every start the
// table of timeout arguments that matter.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli/front_end.h"
#include "tests/unit/timeout_cases.h"

namespace {

[[noreturn]] void fail_check(const char *what, const std::string &text, long long got,
                             long long want) {
  fprintf(stderr, "fuzz_decimal: FAIL %s: expected %lld, got %lld for text [", what, want, got);
  for (unsigned char c : text) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  fprintf(stderr, "]\n");
  abort();
}

// A routine run on a heap copy of exactly the text and its NUL, so that a
// read past the end is caught.
template <class Routine>
auto on_copy(const std::string &text, Routine routine) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  memcpy(copy, text.c_str(), text.size() + 1);
  auto value = routine(copy);
  free(copy);
  return value;
}
int32_t converted(const std::string &text) { return on_copy(text, decimal_to_int32); }

bool in_range(uint32_t seconds) { return seconds >= 250 && seconds <= 3200; }

// The conversion wraps where the C library's saturates: both agree modulo
// 2^32 on every text whose value fits in 64 bits.
void agrees_with_the_c_library(const std::string &text, int32_t value) {
  errno = 0;
  long long reference = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return;
  int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(reference));
  if (value != wrapped) fail_check("strtoll modulo 2^32", text, value, wrapped);
}

// Built from the input: blanks, a sign, then digits, each digit checked as
// it is added: ten times the value so far, plus or minus the digit, in 32
// bits, whatever the length; then a trailing text that changes nothing.
void digits_accumulate(const uint8_t *data, size_t size) {
  std::string text(size > 0 ? data[0] % 3 : 0, ' ');
  int sign = size > 1 ? data[1] % 3 : 0;
  if (sign != 0) text += sign == 1 ? '+' : '-';
  uint32_t previous = static_cast<uint32_t>(converted(text));
  if (previous != 0) fail_check("a text without digits", text, previous, 0);
  for (size_t i = 2; i < size; i++) {
    unsigned digit = data[i] % 10;
    text += static_cast<char>('0' + digit);
    uint32_t now = static_cast<uint32_t>(converted(text));
    uint32_t want = previous * 10u + (sign == 2 ? 0u - digit : digit);
    if (now != want)
      fail_check("one more digit", text, static_cast<int32_t>(now), static_cast<int32_t>(want));
    previous = now;
  }
  int32_t trailed = converted(text + "x9");
  if (trailed != static_cast<int32_t>(previous))
    fail_check("trailing text", text + "x9", trailed, static_cast<int32_t>(previous));
}

// The table: a wrong row stops the fuzzer before it starts.
void check_table() {
  int failed = 0;
  for (const TimeoutCase &c : kTimeoutCases) {
    uint16_t got = timeout_from_argument(c.argument);
    if (got == c.seconds) continue;
    fprintf(stderr, "fuzz_decimal: FAIL timeout argument [%s]: expected %u, got %u\n",
            c.argument ? c.argument : "(none)", c.seconds, got);
    failed++;
  }
  if (failed != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  check_table();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The conversion reads up to the first NUL, like any C text.
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.substr(0, text.find('\0'));

  int32_t value = converted(text);
  agrees_with_the_c_library(text, value);
  if (converted(" " + text) != value)
    fail_check("a leading blank", text, converted(" " + text), value);

  // The timeout: the low 16 bits when in range, else 255.
  uint16_t timeout = on_copy(text, timeout_from_argument);
  uint16_t low = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
  uint16_t want = in_range(low) ? low : 255;
  if (timeout != want) fail_check("timeout_from_argument", text, timeout, want);

  digits_accumulate(data, size);
  return 0;
}
