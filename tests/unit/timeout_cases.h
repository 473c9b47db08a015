// The timeout arguments that matter and the seconds each gives: the range's
// ends, texts without digits, and the low 16 bits of larger numbers. The unit
// tests and every start of the decimal fuzzer check them.
#pragma once

#include <stdint.h>

struct TimeoutCase {
  const char *argument;  // null: no argument
  uint16_t seconds;
};

inline constexpr TimeoutCase kTimeoutCases[] = {
    {"250", 250},
    {"3200", 3200},
    {"249", 255},
    {"3201", 255},
    {"0", 255},
    {"abc", 255},
    {"", 255},
    {nullptr, 255},
    {" +300x", 300},
    {"\t\n\v\f\r250", 250},
    {"65836", 300},
    {"-65286", 250},
    {"65786", 250},
    {"68736", 3200},
    {"68737", 255},
    {"65535", 255},
    {"-1", 255},
    {"4294967596", 300},
    {"-2147483648", 255},
};
