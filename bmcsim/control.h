// Fault injection and the text control commands that steer it (README.md).
#pragma once

#include <cstdint>
#include <string>

namespace bmcsim {

// What happens to the next requests from the host.
struct Fault {
  enum Kind { kNone, kCompletionCode, kDelay, kNoReply, kBadReply } kind = kNone;
  int remaining = 0;  // requests still to be affected
  uint8_t cc = 0;     // kCompletionCode
  int delay_ms = 0;   // kDelay
  // kBadReply: the field of the reply that does not match the request.
  enum Field { kNetfn, kSeq, kCmd } field = kNetfn;
};

// Takes the fault for one request: the active one (counted down) or kNone.
Fault take_fault(Fault* active);

struct ControlCommand {
  enum Kind {
    kFault,       // cc N CODE | delay N MS | noreply N | badreply N FIELD
    kStream,      // stream MS: bytes to the host as fast as it takes them
    kClear,       // clear: no more faults
    kDisconnect,  // disconnect: drop the host's connection
    kRunTimer,    // run-timer COUNT: the timer as armed by other software
    kStatus,      // status: the timer's state as JSON
    kPing,        // ping
  } kind = kPing;
  Fault fault;
  uint16_t count = 0;
  int stream_ms = 0;
};

// Parses one control line; on failure returns false and sets *error.
bool parse_control(const std::string& line, ControlCommand* out, std::string* error);

}  // namespace bmcsim
