// Words for what qd4probe's check finds: the library's statuses, IPMI
// completion codes, Get Device ID and Get Watchdog Timer replies, the SEL's
// watchdog records. Plain C++, so that it is tested on the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace probe {

// What a non-zero status of the library's entries means, and what to do.
std::string status_text(unsigned long status);
// An IPMI completion code in words, e.g. "C0h (node busy)".
std::string completion_code_text(unsigned cc);
// Lines describing a Get Device ID reply (data without the completion code).
std::string device_id_text(const uint8_t* data, size_t n);
// Lines describing a Get Watchdog Timer reply (data without the completion
// code); a reply of 6 bytes, without the present count, is described too.
std::string watchdog_text(const uint8_t* data, size_t n);

// A BMC timestamp (seconds since 1970, or since the BMC's start) in words.
std::string bmc_time_text(uint32_t timestamp);
// Whether a SEL record is one the probe lists: a Watchdog 2, OS Stop or OS
// Boot system event.
bool sel_record_listed(const uint8_t* record, size_t n);
// One line for such a record: its time, its ID and what it means.
std::string sel_record_text(const uint8_t* record, size_t n);

// One request to the BMC: true with the reply data when it answered 0; else
// false with *failure saying why (a completion code, a library status).
using Request =
    std::function<bool(uint8_t netfn, uint8_t command, const uint8_t* data, size_t n,
                       std::vector<uint8_t>* reply, unsigned* cc, std::string* failure)>;
struct SelBounds {
  size_t max_records;     // Get SEL Entry requests at most
  unsigned long max_ms;   // time for the whole walk
  size_t listed;          // records listed at most, the newest
  size_t progress_every;  // a progress line every so many records
};
// Reads the SEL entry by entry (Get SEL Info, then Get SEL Entry from the
// first record on, within the bounds) and describes its listed records,
// newest first. clock_ms gives a millisecond clock; progress gets the lines
// of a long walk as they come. Changes nothing on the BMC.
std::string sel_report(const Request& request, const SelBounds& bounds,
                       const std::function<unsigned long()>& clock_ms,
                       const std::function<void(const std::string&)>& progress);

}  // namespace probe
