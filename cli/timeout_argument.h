// The service's timeout from its first argument, as the service judges it at
// start; the package's custom action judges its shutdown allowance by it.
#pragma once

#include <stdint.h>

#define DEFAULT_TIMEOUT 255
#define MIN_TIMEOUT 250
#define MAX_TIMEOUT 3200

// Decimal text to a signed 32-bit number: leading white space, one sign,
// digits wrapping in 32 bits, trailing text ignored; no digits gives 0.
int32_t decimal_to_int32(const char *text);
// The low 16 bits of the argument's decimal value.
uint16_t seconds_from_argument(const char *argument);
// The timeout for a first argument (null when none): its low 16 bits when in
// 250..3200, else 255.
uint16_t timeout_from_argument(const char *argument);
// The white space that decimal_to_int32 skips.
bool is_decimal_white_space(char c);
