// OpenIPMI's "VM" serial protocol, as QEMU's external BMC device speaks it to
// ipmi_sim: the framing, the checksum and the command codes, shared by the
// driver library (system-interface side) and bmcsim (BMC side).
//
// A frame is a run of escaped bytes ended by kMsgChar (an IPMI message whose
// last byte is its checksum) or by kCmdChar (a hardware command, no checksum).
// Plain C++17 without exceptions or allocation, for the host and for MinGW.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vmproto {

// Framing bytes; only these three are escaped. An escaped byte is sent as
// kEscapeChar followed by the byte with bit 4 set.
constexpr uint8_t kMsgChar = 0xA0;
constexpr uint8_t kCmdChar = 0xA1;
constexpr uint8_t kEscapeChar = 0xAA;
constexpr uint8_t kEscapeBit = 0x10;

// Hardware commands (the first byte of a command frame).
constexpr uint8_t kCmdNoAttn = 0x00;
constexpr uint8_t kCmdAttn = 0x01;
constexpr uint8_t kCmdAttnIrq = 0x02;
constexpr uint8_t kCmdPowerOff = 0x03;
constexpr uint8_t kCmdReset = 0x04;
constexpr uint8_t kCmdEnableIrq = 0x05;
constexpr uint8_t kCmdDisableIrq = 0x06;
constexpr uint8_t kCmdSendNmi = 0x07;
constexpr uint8_t kCmdCapabilities = 0x08;
constexpr uint8_t kCmdGracefulShutdown = 0x09;
constexpr uint8_t kCmdVersion = 0xFF;

// The protocol version the host announces with kCmdVersion.
constexpr uint8_t kProtocolVersion = 0x01;

// Capability bits carried by kCmdCapabilities. ipmi_sim refuses a hard-reset
// watchdog action with completion code CCh unless kCapReset was announced.
constexpr uint8_t kCapPower = 0x01;
constexpr uint8_t kCapReset = 0x02;
constexpr uint8_t kCapIrq = 0x04;
constexpr uint8_t kCapNmi = 0x08;
constexpr uint8_t kCapAttn = 0x10;
constexpr uint8_t kCapGracefulShutdown = 0x20;

// Longest frame kept, unescaped, checksum included. IPMI messages on the
// system interface stay far below this; longer frames are dropped whole.
constexpr size_t kMaxFrame = 272;

// Shortest valid message: sequence, netfn/lun, command, checksum.
constexpr size_t kMinMessage = 4;

// Worst-case encoded size of a frame with n payload bytes (every byte and the
// checksum escaped, plus the terminator).
constexpr size_t encoded_size_bound(size_t n) { return 2 * (n + 1) + 1; }

// Two's complement of the byte sum: the bytes plus the checksum sum to 0.
uint8_t checksum(const uint8_t* bytes, size_t n);

// The encoders write one complete frame into out and return its length, or 0
// when it does not fit in out_cap or the payload exceeds kMaxFrame.
size_t encode_message(const uint8_t* payload, size_t n, uint8_t* out, size_t out_cap);
size_t encode_command(uint8_t command, const uint8_t* data, size_t n, uint8_t* out, size_t out_cap);
size_t encode_request(uint8_t seq, uint8_t netfn_lun, uint8_t command, const uint8_t* data,
                      size_t n, uint8_t* out, size_t out_cap);
size_t encode_reply(uint8_t seq, uint8_t netfn_lun, uint8_t command, uint8_t completion_code,
                    const uint8_t* data, size_t n, uint8_t* out, size_t out_cap);

// What one pushed byte did to the decoder.
enum class Event {
  kNone,         // byte taken, no frame ended
  kMessage,      // a message with a good checksum is ready in frame()
  kCommand,      // a command is ready in frame()
  kBadChecksum,  // a message ended with a wrong checksum; dropped
  kTooShort,     // a frame ended with too few bytes; dropped
  kTooLong,      // a frame grew past kMaxFrame; dropped
  kBadEscape,    // a frame ended right after an escape byte; dropped
};

// A decoded frame: for a message, the bytes without the checksum.
struct Frame {
  uint8_t bytes[kMaxFrame];
  size_t length = 0;
};

// Incremental decoder: feed it received bytes in chunks of any size, one at a
// time, and act on the events. Memory is fixed whatever the input.
class Decoder {
 public:
  Event push(uint8_t byte);
  // The last complete frame; valid until the next push.
  const Frame& frame() const { return frame_; }
  void reset();

 private:
  Event finish(bool is_message);

  Frame frame_;
  size_t length_ = 0;
  bool in_escape_ = false;
  bool too_long_ = false;
};

// Views into a decoded message frame (data points into the frame).
struct Request {
  uint8_t seq;
  uint8_t netfn_lun;
  uint8_t command;
  const uint8_t* data;
  size_t length;
};

struct Reply {
  uint8_t seq;
  uint8_t netfn_lun;
  uint8_t command;
  uint8_t completion_code;
  const uint8_t* data;
  size_t length;
};

// Splits a message frame; false when it is too short for the kind.
bool parse_request(const Frame& frame, Request* out);
bool parse_reply(const Frame& frame, Reply* out);

}  // namespace vmproto
