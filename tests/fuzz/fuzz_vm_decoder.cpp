// The VM-protocol decoder on arbitrary byte streams, as both ends use it: the
// driver library reads replies from it, bmcsim reads requests and hardware
// commands. The stream is fed in chunks of arbitrary sizes, as recv hands
// them over. Checked: frames stay within kMaxFrame, the events do not depend
// on the chunking, and every decoded frame re-encodes to a stream that
// decodes to the same frame, through each encoder that applies.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "vmproto/vm_codec.h"

using vmproto::Decoder;
using vmproto::Event;
using vmproto::Frame;

namespace {

[[noreturn]] void fail_check(const char *what, size_t at) {
  fprintf(stderr, "fuzz_vm_decoder: %s (stream byte %zu)\n", what, at);
  abort();
}

struct Seen {
  Event event;
  size_t at;  // index of the byte that ended the frame
  std::vector<uint8_t> bytes;
};

bool same_frame(const Frame &frame, const uint8_t *bytes, size_t n) {
  return frame.length == n && (n == 0 || memcmp(frame.bytes, bytes, n) == 0);
}

// Decodes an encoder's output with a fresh decoder: every byte but the last
// gives kNone, the last gives `want` with exactly these bytes.
void expect_decodes_to(const uint8_t *encoded, size_t n, Event want, const uint8_t *bytes,
                       size_t length, size_t at, const char *what) {
  if (n == 0) fail_check(what, at);
  if (n > vmproto::encoded_size_bound(length))
    fail_check("an encoding longer than its bound", at);
  Decoder again;
  for (size_t i = 0; i + 1 < n; i++)
    if (again.push(encoded[i]) != Event::kNone) fail_check("a frame ends inside an encoding", at);
  if (again.push(encoded[n - 1]) != want) fail_check(what, at);
  if (!same_frame(again.frame(), bytes, length)) fail_check(what, at);
}

// Re-encodes a decoded frame through every encoder that applies to it.
void round_trip(Event event, const Frame &frame, size_t at) {
  uint8_t out[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  if (event == Event::kCommand) {
    size_t n = vmproto::encode_command(frame.bytes[0], frame.bytes + 1, frame.length - 1, out,
                                       sizeof out);
    expect_decodes_to(out, n, Event::kCommand, frame.bytes, frame.length, at,
                      "a command does not survive re-encoding");
    return;
  }
  size_t n = vmproto::encode_message(frame.bytes, frame.length, out, sizeof out);
  expect_decodes_to(out, n, Event::kMessage, frame.bytes, frame.length, at,
                    "a message does not survive re-encoding");

  // bmcsim's side: a request.
  vmproto::Request request;
  if (!vmproto::parse_request(frame, &request)) fail_check("a message too short for a request", at);
  if (request.data != frame.bytes + 3 || request.length + 3 != frame.length)
    fail_check("a request that does not cover the frame", at);
  n = vmproto::encode_request(request.seq, request.netfn_lun, request.command, request.data,
                              request.length, out, sizeof out);
  expect_decodes_to(out, n, Event::kMessage, frame.bytes, frame.length, at,
                    "a request does not survive re-encoding");

  // The driver library's side: a reply, when there is room for the code.
  vmproto::Reply reply;
  bool is_reply = vmproto::parse_reply(frame, &reply);
  if (is_reply != (frame.length >= 4)) fail_check("parse_reply disagrees with the length", at);
  if (!is_reply) return;
  if (reply.data != frame.bytes + 4 || reply.length + 4 != frame.length)
    fail_check("a reply that does not cover the frame", at);
  n = vmproto::encode_reply(reply.seq, reply.netfn_lun, reply.command, reply.completion_code,
                            reply.data, reply.length, out, sizeof out);
  expect_decodes_to(out, n, Event::kMessage, frame.bytes, frame.length, at,
                    "a reply does not survive re-encoding");
}

// Feeds one received chunk, as the two ends' receive loops do.
void feed(Decoder &decoder, const uint8_t *chunk, size_t n, size_t offset,
          std::vector<Seen> *seen) {
  for (size_t i = 0; i < n; i++) {
    Event event = decoder.push(chunk[i]);
    if (event == Event::kNone) continue;
    const Frame &frame = decoder.frame();
    if (frame.length > vmproto::kMaxFrame) fail_check("a frame past kMaxFrame", offset + i);
    std::vector<uint8_t> bytes;
    if (event == Event::kMessage || event == Event::kCommand) {
      if (event == Event::kMessage &&
          (frame.length + 1 < vmproto::kMinMessage || frame.length + 1 > vmproto::kMaxFrame))
        fail_check("a message of impossible length", offset + i);
      if (event == Event::kCommand && frame.length < 1)
        fail_check("an empty command", offset + i);
      bytes.assign(frame.bytes, frame.bytes + frame.length);
      round_trip(event, frame, offset + i);
    }
    seen->push_back(Seen{event, offset + i, bytes});
  }
}

}  // namespace

// Input: one byte seeding the chunk sizes, then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint32_t seed = data[0] * 2654435761u + 1;
  const uint8_t *stream = data + 1;
  size_t length = size - 1;

  // In one piece.
  Decoder whole;
  std::vector<Seen> whole_seen;
  feed(whole, stream, length, 0, &whole_seen);

  // In chunks of 1 to 64 bytes, each copied into a buffer of its own size so
  // that a read past the chunk is caught.
  Decoder chunked;
  std::vector<Seen> chunked_seen;
  for (size_t offset = 0; offset < length;) {
    seed = seed * 1103515245u + 12345u;
    size_t n = 1 + (seed >> 16) % 64;
    if (n > length - offset) n = length - offset;
    std::vector<uint8_t> chunk(stream + offset, stream + offset + n);
    feed(chunked, chunk.data(), n, offset, &chunked_seen);
    offset += n;
  }

  if (whole_seen.size() != chunked_seen.size()) fail_check("chunking changes the frames", 0);
  for (size_t i = 0; i < whole_seen.size(); i++) {
    const Seen &a = whole_seen[i], &b = chunked_seen[i];
    if (a.event != b.event || a.at != b.at || a.bytes != b.bytes)
      fail_check("chunking changes a frame", a.at);
  }
  return 0;
}
