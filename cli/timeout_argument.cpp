#include "cli/timeout_argument.h"

bool is_decimal_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int32_t decimal_to_int32(const char *text) {
  while (is_decimal_white_space(*text)) text++;
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    text++;
  }
  // Unsigned arithmetic wraps in 32 bits without undefined behaviour.
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; text++) value = value * 10u + (uint32_t)(*text - '0');
  if (negative) value = 0u - value;
  return (int32_t)value;
}

uint16_t seconds_from_argument(const char *argument) {
  return (uint16_t)((uint32_t)decimal_to_int32(argument) & 0xFFFFu);
}

uint16_t timeout_from_argument(const char *argument) {
  if (argument == nullptr) return DEFAULT_TIMEOUT;
  uint16_t seconds = seconds_from_argument(argument);
  if (seconds < MIN_TIMEOUT || seconds > MAX_TIMEOUT) return DEFAULT_TIMEOUT;
  return seconds;
}
