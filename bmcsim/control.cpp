#include "bmcsim/control.h"

#include <cstdlib>
#include <sstream>
#include <vector>

#include "ipmi/ipmi.h"

namespace bmcsim {

namespace {

// A whole-word number in [lo, hi]; base 16 for completion codes ("c0", "0xC0").
bool number(const std::string& word, int base, long lo, long hi, long* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(word.c_str(), &end, base);
  if (end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

Fault take_fault(Fault* active) {
  if (active->kind == Fault::kNone || active->remaining <= 0) {
    *active = Fault();
    return Fault();
  }
  Fault now = *active;
  if (--active->remaining == 0) *active = Fault();
  return now;
}

bool parse_control(const std::string& line, ControlCommand* out, std::string* error) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  *out = ControlCommand();
  if (w.empty()) {
    *error = "empty command";
    return false;
  }
  const std::string& verb = w[0];
  long n = 0;
  long v = 0;
  if (verb == "cc" || verb == "delay" || verb == "noreply") {
    size_t want = verb == "noreply" ? 2 : 3;
    if (w.size() != want || !number(w[1], 10, 1, 1000000, &n)) {
      *error = verb == "noreply" ? "usage: noreply N" : "usage: " + verb + " N VALUE";
      return false;
    }
    out->kind = ControlCommand::kFault;
    out->fault.remaining = static_cast<int>(n);
    if (verb == "cc") {
      if (!number(w[2], 16, 0, 0xFF, &v)) {
        *error = "completion code must be hex 00..ff";
        return false;
      }
      out->fault.kind = Fault::kCompletionCode;
      out->fault.cc = static_cast<uint8_t>(v);
    } else if (verb == "delay") {
      if (!number(w[2], 10, 0, 600000, &v)) {
        *error = "delay must be 0..600000 ms";
        return false;
      }
      out->fault.kind = Fault::kDelay;
      out->fault.delay_ms = static_cast<int>(v);
    } else {
      out->fault.kind = Fault::kNoReply;
    }
    return true;
  }
  if (verb == "badreply") {
    static const char* const kFields[] = {"netfn", "seq", "cmd"};
    int field = -1;
    for (int i = 0; i < 3 && w.size() == 3; ++i) {
      if (w[2] == kFields[i]) field = i;
    }
    if (field < 0 || !number(w[1], 10, 1, 1000000, &n)) {
      *error = "usage: badreply N netfn|seq|cmd";
      return false;
    }
    out->kind = ControlCommand::kFault;
    out->fault.kind = Fault::kBadReply;
    out->fault.remaining = static_cast<int>(n);
    out->fault.field = static_cast<Fault::Field>(field);
    return true;
  }
  if (verb == "stream") {
    if (w.size() != 2 || !number(w[1], 10, 1, 600000, &v)) {
      *error = "usage: stream MS (1..600000)";
      return false;
    }
    out->kind = ControlCommand::kStream;
    out->stream_ms = static_cast<int>(v);
    return true;
  }
  if (verb == "run-timer") {
    long use = ipmi::kUseSmsOs, action = ipmi::kActionNone;
    if (w.size() < 2 || w.size() > 4 || !number(w[1], 10, 1, 0xFFFF, &v) ||
        (w.size() > 2 && !number(w[2], 10, ipmi::kUseBiosFrb2, ipmi::kUseOem, &use)) ||
        (w.size() > 3 && !number(w[3], 10, ipmi::kActionNone, ipmi::kActionPowerCycle, &action))) {
      *error = "usage: run-timer COUNT (100 ms units) [USE 1..5 [ACTION 0..3]]";
      return false;
    }
    out->kind = ControlCommand::kRunTimer;
    out->count = static_cast<uint16_t>(v);
    out->use = static_cast<uint8_t>(use);
    out->action = static_cast<uint8_t>(action);
    return true;
  }
  if (verb == "sel-add") {
    long type = 0, offset = 0, data2 = -1;
    if (w.size() < 3 || w.size() > 4 || !number(w[1], 16, 0, 0xFF, &type) ||
        !number(w[2], 16, 0, 0x0F, &offset) ||
        (w.size() > 3 && !number(w[3], 16, 0, 0xFF, &data2))) {
      *error = "usage: sel-add SENSOR_TYPE OFFSET [DATA2] (hex)";
      return false;
    }
    out->kind = ControlCommand::kSelAdd;
    out->sensor_type = static_cast<uint8_t>(type);
    out->offset = static_cast<uint8_t>(offset);
    out->data2 = static_cast<int>(data2);
    return true;
  }
  if (verb == "pretimeout-refuse" && w.size() > 1) {
    if (w.size() != 2 || !number(w[1], 16, 1, 0xFF, &v)) {
      *error = "usage: pretimeout-refuse [CODE] (hex)";
      return false;
    }
    out->kind = ControlCommand::kRefusePretimeout;
    out->cc = static_cast<uint8_t>(v);
    return true;
  }
  if (verb == "sel-fill") {
    if (w.size() != 2 || !number(w[1], 10, 1, 0xFFFF, &v)) {
      *error = "usage: sel-fill N";
      return false;
    }
    out->kind = ControlCommand::kSelFill;
    out->count = static_cast<uint16_t>(v);
    return true;
  }
  struct Simple {
    const char* word;
    ControlCommand::Kind kind;
  };
  static const Simple kSimple[] = {{"clear", ControlCommand::kClear},
                                   {"disconnect", ControlCommand::kDisconnect},
                                   {"status", ControlCommand::kStatus},
                                   {"ping", ControlCommand::kPing},
                                   {"sel-none", ControlCommand::kSelNone},
                                   {"pretimeout-refuse", ControlCommand::kRefusePretimeout},
                                   {"pretimeout-accept", ControlCommand::kAcceptPretimeout}};
  for (const Simple& s : kSimple) {
    if (verb == s.word) {
      if (w.size() != 1) {
        *error = verb + " takes no arguments";
        return false;
      }
      out->kind = s.kind;
      return true;
    }
  }
  *error = "unknown command: " + verb;
  return false;
}

}  // namespace bmcsim
