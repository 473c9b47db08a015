// Words for what qd4probe's check finds: the library's statuses, IPMI
// completion codes, Get Device ID and Get Watchdog Timer replies. Plain C++,
// so that it is tested on the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace probe {

// What a non-zero status of the library's entries means, and what to do.
std::string status_text(unsigned long status);
// An IPMI completion code in words, e.g. "C0h (node busy)".
std::string completion_code_text(unsigned cc);
// Lines describing a Get Device ID reply (data without the completion code).
std::string device_id_text(const uint8_t* data, size_t n);
// Lines describing a Get Watchdog Timer reply (data without the completion code).
std::string watchdog_text(const uint8_t* data, size_t n);

}  // namespace probe
