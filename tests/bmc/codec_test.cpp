// The VM-protocol codec shared by the driver library and bmcsim.
#include <gtest/gtest.h>

#include <vector>

#include "ipmi/ipmi.h"
#include "vmproto/vm_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vmproto::Event;

Bytes encode_msg(const Bytes& payload) {
  uint8_t out[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  size_t n = vmproto::encode_message(payload.data(), payload.size(), out, sizeof(out));
  return Bytes(out, out + n);
}

Bytes encode_cmd(uint8_t command, const Bytes& data) {
  uint8_t out[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  size_t n = vmproto::encode_command(command, data.data(), data.size(), out, sizeof(out));
  return Bytes(out, out + n);
}

struct Decoded {
  Event event;
  Bytes bytes;
};

// Feeds the chunks in order and collects every event other than kNone.
std::vector<Decoded> decode(vmproto::Decoder* d, const std::vector<Bytes>& chunks) {
  std::vector<Decoded> out;
  for (const Bytes& chunk : chunks) {
    for (uint8_t b : chunk) {
      Event e = d->push(b);
      if (e == Event::kNone) continue;
      Decoded got{e, {}};
      if (e == Event::kMessage || e == Event::kCommand) {
        got.bytes.assign(d->frame().bytes, d->frame().bytes + d->frame().length);
      }
      out.push_back(got);
    }
  }
  return out;
}

std::vector<Decoded> decode(const Bytes& stream) {
  vmproto::Decoder d;
  return decode(&d, {stream});
}

TEST(VmCodec, RequestEncodingMatchesTheWireFormat) {
  // seq 01, App netfn 06h << 2, Get Watchdog Timer 25h: sum 3Eh, checksum C2h.
  uint8_t out[16];
  size_t n = vmproto::encode_request(0x01, 0x18, 0x25, nullptr, 0, out, sizeof(out));
  EXPECT_EQ(Bytes({0x01, 0x18, 0x25, 0xC2, 0xA0}), Bytes(out, out + n));
  // The reply: seq, 1Ch, command, completion code, data, checksum.
  const uint8_t data[] = {0x44};
  n = vmproto::encode_reply(0x01, ipmi::response_netfn_lun(0x18), 0x25, 0x00, data, 1, out,
                            sizeof(out));
  EXPECT_EQ(Bytes({0x01, 0x1C, 0x25, 0x00, 0x44, 0x7A, 0xA0}), Bytes(out, out + n));
  // A command has no checksum: version FFh with 01h.
  EXPECT_EQ(Bytes({0xFF, 0x01, 0xA1}), encode_cmd(vmproto::kCmdVersion, {0x01}));
}

TEST(VmCodec, EveryByteValueRoundTripsAndOnlyFramingBytesAreEscaped) {
  for (int v = 0; v < 256; ++v) {
    const uint8_t b = static_cast<uint8_t>(v);
    const Bytes payload = {b, 0x18, b, b};
    const Bytes wire = encode_msg(payload);
    bool framing = b == 0xA0 || b == 0xA1 || b == 0xAA;
    // Count wire bytes standing for b: escaped pairs or raw bytes.
    size_t escaped = 0;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
      if (wire[i] == 0xAA) {
        EXPECT_EQ(wire[i + 1] & 0x10, 0x10) << "escaped byte without bit 4 for value " << v;
        ++escaped;
        ++i;
      } else {
        EXPECT_TRUE(wire[i] != 0xA0 && wire[i] != 0xA1)
            << "raw framing byte inside the frame for value " << v;
      }
    }
    EXPECT_EQ(wire.back(), 0xA0);
    if (framing) {
      EXPECT_GE(escaped, 3u) << "value " << v << " was not escaped";
    }
    std::vector<Decoded> got = decode(wire);
    ASSERT_EQ(1u, got.size()) << "value " << v;
    EXPECT_EQ(Event::kMessage, got[0].event) << "value " << v;
    EXPECT_EQ(payload, got[0].bytes) << "value " << v;

    std::vector<Decoded> cmd = decode(encode_cmd(b, {b}));
    ASSERT_EQ(1u, cmd.size()) << "command value " << v;
    EXPECT_EQ(Event::kCommand, cmd[0].event);
    EXPECT_EQ(Bytes({b, b}), cmd[0].bytes);
  }
  // B0h, B1h, BAh look like escaped bytes but are sent raw.
  EXPECT_EQ(Bytes({0xB0, 0xB1, 0xBA, 0xA1}), encode_cmd(0xB0, {0xB1, 0xBA}));
  // A checksum that is itself a framing byte gets escaped: 60h sums to A0h's complement.
  EXPECT_EQ(Bytes({0x01, 0x18, 0x47, 0xAA, 0xB0, 0xA0}), encode_msg({0x01, 0x18, 0x47}));
}

TEST(VmCodec, ChunksSplitAtEveryPositionGiveTheSameFrames) {
  const Bytes request = encode_msg({0x07, 0x18, 0x24, 0x44, 0xA0, 0xAA, 0xA1, 0xB8, 0x0B});
  const Bytes command = encode_cmd(vmproto::kCmdCapabilities, {0x03});
  const Bytes reply = encode_msg({0xAA, 0x1C, 0x25, 0x00, 0xA1});
  Bytes stream;
  for (const Bytes* part : {&request, &command, &reply}) {
    stream.insert(stream.end(), part->begin(), part->end());
  }
  const std::vector<Decoded> whole = decode(stream);
  ASSERT_EQ(3u, whole.size());
  EXPECT_EQ(Event::kMessage, whole[0].event);
  EXPECT_EQ(Event::kCommand, whole[1].event);
  EXPECT_EQ(Event::kMessage, whole[2].event);
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      vmproto::Decoder d;
      std::vector<Decoded> got = decode(&d, {Bytes(stream.begin(), stream.begin() + i),
                                             Bytes(stream.begin() + i, stream.begin() + j),
                                             Bytes(stream.begin() + j, stream.end())});
      ASSERT_EQ(whole.size(), got.size()) << "split at " << i << " and " << j;
      for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(whole[k].event, got[k].event) << "frame " << k << " split at " << i << "," << j;
        EXPECT_EQ(whole[k].bytes, got[k].bytes) << "frame " << k << " split at " << i << "," << j;
      }
    }
  }
}

TEST(VmCodec, BrokenFramesAreDroppedAndTheNextFrameStillDecodes) {
  const Bytes good = encode_msg({0x02, 0x18, 0x22});
  struct Case {
    const char* what;
    Bytes bytes;
    Event expected;
  };
  Bytes bad_sum = good;
  bad_sum[3] ^= 0x01;  // the checksum byte
  const std::vector<Case> cases = {
      {"bad checksum", bad_sum, Event::kBadChecksum},
      {"message of three bytes", {0x02, 0x18, 0xE6, 0xA0}, Event::kTooShort},
      {"empty message", {0xA0}, Event::kTooShort},
      {"empty command", {0xA1}, Event::kTooShort},
      {"escape before the end", {0x02, 0x18, 0x22, 0xC4, 0xAA, 0xA0}, Event::kBadEscape},
  };
  for (const Case& c : cases) {
    Bytes stream = c.bytes;
    stream.insert(stream.end(), good.begin(), good.end());
    std::vector<Decoded> got = decode(stream);
    ASSERT_EQ(2u, got.size()) << c.what;
    EXPECT_EQ(c.expected, got[0].event) << c.what;
    EXPECT_EQ(Event::kMessage, got[1].event) << c.what << ": the next frame was lost";
    EXPECT_EQ(Bytes({0x02, 0x18, 0x22}), got[1].bytes) << c.what;
  }
}

TEST(VmCodec, OverlongFramesAreDroppedWithBoundedMemory) {
  // The longest frame kept: kMaxFrame bytes including the checksum.
  Bytes longest(vmproto::kMaxFrame - 1, 0x55);
  std::vector<Decoded> got = decode(encode_msg(longest));
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(Event::kMessage, got[0].event);
  EXPECT_EQ(longest, got[0].bytes);

  // One byte more, and a hostile megabyte without a terminator.
  for (size_t n : {vmproto::kMaxFrame + 1, size_t{1} << 20}) {
    Bytes stream(n, 0x55);
    stream.push_back(0xA0);
    const Bytes good = encode_cmd(vmproto::kCmdReset, {});
    stream.insert(stream.end(), good.begin(), good.end());
    got = decode(stream);
    ASSERT_EQ(2u, got.size()) << n << " bytes";
    EXPECT_EQ(Event::kTooLong, got[0].event) << n << " bytes";
    EXPECT_EQ(Event::kCommand, got[1].event) << n << " bytes";
  }
  // The encoders refuse what the decoder would drop, and small buffers.
  uint8_t out[8];
  Bytes big(vmproto::kMaxFrame, 0x11);
  uint8_t big_out[vmproto::encoded_size_bound(vmproto::kMaxFrame + 8)];
  EXPECT_EQ(0u, vmproto::encode_message(big.data(), big.size(), big_out, sizeof(big_out)));
  EXPECT_EQ(0u, vmproto::encode_request(1, 0x18, 0x24, big.data(), 6, out, sizeof(out)));
}

TEST(VmCodec, ParsersRejectFramesTooShortForTheirKind) {
  vmproto::Frame f;
  const uint8_t bytes[] = {0x09, 0x1C, 0x25, 0xC1, 0x44};
  std::copy(bytes, bytes + 5, f.bytes);
  vmproto::Reply reply;
  vmproto::Request request;
  f.length = 3;
  EXPECT_FALSE(vmproto::parse_reply(f, &reply)) << "a reply needs a completion code";
  ASSERT_TRUE(vmproto::parse_request(f, &request));
  EXPECT_EQ(0u, request.length);
  f.length = 5;
  ASSERT_TRUE(vmproto::parse_reply(f, &reply));
  EXPECT_EQ(0x09, reply.seq);
  EXPECT_EQ(0x25, reply.command);
  EXPECT_EQ(0xC1, reply.completion_code);
  ASSERT_EQ(1u, reply.length);
  EXPECT_EQ(0x44, reply.data[0]);
}

}  // namespace
