// The decimal conversion and the timeout taken from the first argument, on
// arbitrary texts, checked against a reference model written out here.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli/front_end.h"

namespace {

[[noreturn]] void fail_check(const char *what, const std::string &text, long long got,
                             long long want) {
  fprintf(stderr, "fuzz_decimal: %s: got %lld, want %lld for text [", what, got, want);
  for (unsigned char c : text) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  fprintf(stderr, "]\n");
  abort();
}

// Blank, tab, line feed, vertical tab, form feed, carriage return.
bool model_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int32_t model_decimal(const std::string &text) {
  size_t i = 0;
  while (i < text.size() && model_space(static_cast<unsigned char>(text[i]))) i++;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

uint16_t model_timeout(const std::string &text) {
  uint32_t low = static_cast<uint32_t>(model_decimal(text)) & 0xFFFFu;
  return (low >= 250 && low <= 3200) ? static_cast<uint16_t>(low) : 255;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The conversion reads up to the first NUL, like any C text.
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.substr(0, text.find('\0'));
  // Heap copy of exactly the text and its NUL, so a read past it is caught.
  char *argument = static_cast<char *>(malloc(text.size() + 1));
  memcpy(argument, text.c_str(), text.size() + 1);

  int32_t converted = decimal_to_int32(argument);
  int32_t expected = model_decimal(text);
  if (converted != expected) fail_check("decimal_to_int32", text, converted, expected);

  uint16_t timeout = timeout_from_argument(argument);
  if (timeout != 255 && (timeout < 250 || timeout > 3200))
    fail_check("timeout_from_argument out of range", text, timeout, 255);
  if (timeout != model_timeout(text))
    fail_check("timeout_from_argument", text, timeout, model_timeout(text));

  free(argument);
  if (timeout_from_argument(nullptr) != 255)
    fail_check("timeout_from_argument(null)", "", timeout_from_argument(nullptr), 255);
  return 0;
}
