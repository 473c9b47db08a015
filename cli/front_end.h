// The program's entry: command words or the service path.
#pragma once

#include <stdint.h>

int front_end(int argc, char **argv);
// Decimal text to a signed 32-bit number: leading white space, one sign,
// digits wrapping in 32 bits, trailing text ignored; no digits gives 0.
int32_t decimal_to_int32(const char *text);
// The timeout for a first argument (null when none): its low 16 bits when in
// 250..3200, else 255.
uint16_t timeout_from_argument(const char *argument);
