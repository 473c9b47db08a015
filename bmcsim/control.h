// Fault injection and the text control commands that steer it (README.md).
#pragma once

#include <cstdint>
#include <string>

#include "ipmi/ipmi.h"

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
    kFault,             // cc N CODE | delay N MS | noreply N | badreply N FIELD
    kStream,            // stream MS: bytes to the host as fast as it takes them
    kClear,             // clear: no more faults
    kDisconnect,        // disconnect: drop the host's connection
    kRunTimer,          // run-timer COUNT [USE [ACTION]]: the timer as armed by other software
    kStatus,            // status: the timer's state as JSON
    kPing,              // ping
    kSelAdd,            // sel-add TYPE OFFSET [DATA2]: a system event record in the SEL
    kSelFill,           // sel-fill N: N unrelated records
    kSelNone,           // sel-none: the BMC keeps no SEL
    kRefusePretimeout,  // pretimeout-refuse [CODE]: a Set with a pre-timeout gets CODE (CCh)
    kAcceptPretimeout,  // pretimeout-accept: as at start
  } kind = kPing;
  Fault fault;
  uint16_t count = 0;
  uint8_t use = 4;                      // kRunTimer: SMS/OS unless given
  uint8_t action = 0;                   // kRunTimer: no action unless given
  uint8_t sensor_type = 0, offset = 0;  // kSelAdd
  int data2 = -1;                       // kSelAdd: -1 when not given
  int stream_ms = 0;
  uint8_t cc = ipmi::kCcInvalidData;  // kRefusePretimeout
};

// Parses one control line; on failure returns false and sets *error.
bool parse_control(const std::string& line, ControlCommand* out, std::string* error);

}  // namespace bmcsim
