#include "vmproto/vm_codec.h"

#include <cstring>

namespace vmproto {

namespace {

bool needs_escape(uint8_t b) { return b == kMsgChar || b == kCmdChar || b == kEscapeChar; }

// Appends one byte, escaped when needed; false when out is full.
bool put(uint8_t b, uint8_t* out, size_t out_cap, size_t* pos) {
  if (needs_escape(b)) {
    if (*pos + 2 > out_cap) return false;
    out[(*pos)++] = kEscapeChar;
    out[(*pos)++] = static_cast<uint8_t>(b | kEscapeBit);
    return true;
  }
  if (*pos + 1 > out_cap) return false;
  out[(*pos)++] = b;
  return true;
}

bool put_all(const uint8_t* bytes, size_t n, uint8_t* out, size_t out_cap, size_t* pos) {
  for (size_t i = 0; i < n; ++i) {
    if (!put(bytes[i], out, out_cap, pos)) return false;
  }
  return true;
}

bool put_end(uint8_t terminator, uint8_t* out, size_t out_cap, size_t* pos) {
  if (*pos + 1 > out_cap) return false;
  out[(*pos)++] = terminator;
  return true;
}

}  // namespace

uint8_t checksum(const uint8_t* bytes, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

size_t encode_message(const uint8_t* payload, size_t n, uint8_t* out, size_t out_cap) {
  if (n + 1 > kMaxFrame || (n > 0 && payload == nullptr) || out == nullptr) return 0;
  size_t pos = 0;
  if (!put_all(payload, n, out, out_cap, &pos)) return 0;
  if (!put(checksum(payload, n), out, out_cap, &pos)) return 0;
  if (!put_end(kMsgChar, out, out_cap, &pos)) return 0;
  return pos;
}

size_t encode_command(uint8_t command, const uint8_t* data, size_t n, uint8_t* out,
                      size_t out_cap) {
  if (n + 1 > kMaxFrame || (n > 0 && data == nullptr) || out == nullptr) return 0;
  size_t pos = 0;
  if (!put(command, out, out_cap, &pos)) return 0;
  if (!put_all(data, n, out, out_cap, &pos)) return 0;
  if (!put_end(kCmdChar, out, out_cap, &pos)) return 0;
  return pos;
}

size_t encode_request(uint8_t seq, uint8_t netfn_lun, uint8_t command, const uint8_t* data,
                      size_t n, uint8_t* out, size_t out_cap) {
  uint8_t payload[kMaxFrame];
  if (n + 4 > kMaxFrame || (n > 0 && data == nullptr)) return 0;
  payload[0] = seq;
  payload[1] = netfn_lun;
  payload[2] = command;
  if (n > 0) std::memcpy(payload + 3, data, n);
  return encode_message(payload, n + 3, out, out_cap);
}

size_t encode_reply(uint8_t seq, uint8_t netfn_lun, uint8_t command, uint8_t completion_code,
                    const uint8_t* data, size_t n, uint8_t* out, size_t out_cap) {
  uint8_t payload[kMaxFrame];
  if (n + 5 > kMaxFrame || (n > 0 && data == nullptr)) return 0;
  payload[0] = seq;
  payload[1] = netfn_lun;
  payload[2] = command;
  payload[3] = completion_code;
  if (n > 0) std::memcpy(payload + 4, data, n);
  return encode_message(payload, n + 4, out, out_cap);
}

void Decoder::reset() {
  length_ = 0;
  in_escape_ = false;
  too_long_ = false;
}

Event Decoder::finish(bool is_message) {
  Event event;
  if (too_long_) {
    event = Event::kTooLong;
  } else if (in_escape_) {
    event = Event::kBadEscape;
  } else if (is_message) {
    if (length_ < kMinMessage) {
      event = Event::kTooShort;
    } else if (checksum(frame_.bytes, length_) != 0) {
      event = Event::kBadChecksum;
    } else {
      frame_.length = length_ - 1;  // without the checksum
      event = Event::kMessage;
    }
  } else if (length_ < 1) {
    event = Event::kTooShort;
  } else {
    frame_.length = length_;
    event = Event::kCommand;
  }
  reset();
  return event;
}

Event Decoder::push(uint8_t byte) {
  if (byte == kMsgChar) return finish(true);
  if (byte == kCmdChar) return finish(false);
  if (byte == kEscapeChar) {
    in_escape_ = true;
    return Event::kNone;
  }
  if (in_escape_) {
    byte = static_cast<uint8_t>(byte & ~kEscapeBit);
    in_escape_ = false;
  }
  if (too_long_) return Event::kNone;
  if (length_ >= kMaxFrame) {
    too_long_ = true;
    return Event::kNone;
  }
  frame_.bytes[length_++] = byte;
  return Event::kNone;
}

bool parse_request(const Frame& frame, Request* out) {
  if (frame.length < 3 || out == nullptr) return false;
  out->seq = frame.bytes[0];
  out->netfn_lun = frame.bytes[1];
  out->command = frame.bytes[2];
  out->data = frame.bytes + 3;
  out->length = frame.length - 3;
  return true;
}

bool parse_reply(const Frame& frame, Reply* out) {
  if (frame.length < 4 || out == nullptr) return false;
  out->seq = frame.bytes[0];
  out->netfn_lun = frame.bytes[1];
  out->command = frame.bytes[2];
  out->completion_code = frame.bytes[3];
  out->data = frame.bytes + 4;
  out->length = frame.length - 4;
  return true;
}

}  // namespace vmproto
