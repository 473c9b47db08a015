#include "driverlib/vm_transport.h"

#include <cstring>

#include "ipmi/ipmi.h"

namespace qd4 {

namespace {

// Capabilities announced on connect: power and reset at least, or ipmi_sim
// answers a Set Watchdog Timer with a hard-reset action with CCh.
constexpr BYTE kCapabilities = vmproto::kCapPower | vmproto::kCapReset;

// What the drain before a request reads at most: stale replies and the BMC's
// hardware commands are a few frames; a peer that sends more is not waited
// out, its bytes are skipped while the reply is awaited.
constexpr int kDrainBudget = 4096;

DWORD remaining_ms(DWORD deadline) {
  DWORD now = GetTickCount();
  LONG left = static_cast<LONG>(deadline - now);
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

timeval to_timeval(DWORD ms) {
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return tv;
}

}  // namespace

VmTransport::VmTransport(const Settings& settings) : settings_(settings) {
  InitializeCriticalSection(&lock_);
}

VmTransport::~VmTransport() {
  disconnect();
  if (winsock_) WSACleanup();
  DeleteCriticalSection(&lock_);
}

DWORD VmTransport::open() {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return kNoResources;
  winsock_ = true;
  EnterCriticalSection(&lock_);
  DWORD status = connect_once();
  LeaveCriticalSection(&lock_);
  return status;
}

void VmTransport::disconnect() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

DWORD VmTransport::connect_once() {
  disconnect();
  decoder_.reset();
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(settings_.port);
  addr.sin_addr.s_addr = inet_addr(settings_.host);
  if (addr.sin_addr.s_addr == INADDR_NONE) return kConnectFailed;

  socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == INVALID_SOCKET) return kNoResources;

  // Non-blocking connect, so an absent BMC costs at most the connect bound.
  u_long non_blocking = 1;
  ioctlsocket(socket_, FIONBIO, &non_blocking);
  if (connect(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    disconnect();
    return kConnectFailed;
  }
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket_, &writable);
  FD_SET(socket_, &failed);
  timeval tv = to_timeval(settings_.connect_timeout_ms);
  if (select(0, nullptr, &writable, &failed, &tv) != 1 || !FD_ISSET(socket_, &writable)) {
    disconnect();
    return kConnectFailed;
  }
  int error = 0;
  int error_len = sizeof(error);
  if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &error_len) != 0 ||
      error != 0) {
    disconnect();
    return kConnectFailed;
  }
  u_long blocking = 0;
  ioctlsocket(socket_, FIONBIO, &blocking);
  DWORD send_timeout = settings_.reply_timeout_ms;
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout),
             sizeof(send_timeout));
  BOOL no_delay = TRUE;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
             sizeof(no_delay));

  BYTE frame[vmproto::encoded_size_bound(2) * 2];
  const BYTE version = vmproto::kProtocolVersion;
  const BYTE caps = kCapabilities;
  size_t n = vmproto::encode_command(vmproto::kCmdVersion, &version, 1, frame, sizeof(frame));
  size_t m =
      vmproto::encode_command(vmproto::kCmdCapabilities, &caps, 1, frame + n, sizeof(frame) - n);
  if (n == 0 || m == 0 || !send_all(frame, n + m)) {
    disconnect();
    return kSendFailed;
  }
  return kOk;
}

bool VmTransport::peer_closed(DWORD deadline) {
  char chunk[512];
  for (int drained = 0; drained < kDrainBudget && remaining_ms(deadline) > 0;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval none = to_timeval(0);
    int ready = select(0, &readable, nullptr, nullptr, &none);
    if (ready == 0) return false;
    if (ready < 0) return true;
    int got = recv(socket_, chunk, sizeof(chunk), 0);
    if (got <= 0) return true;
    drained += got;
    // No request is in flight: whatever came is stale. Keep the decoder on
    // frame bounds for the next reply.
    for (int i = 0; i < got; ++i) decoder_.push(static_cast<BYTE>(chunk[i]));
  }
  return false;
}

bool VmTransport::send_all(const BYTE* bytes, size_t n) {
  while (n > 0) {
    int sent = send(socket_, reinterpret_cast<const char*>(bytes), static_cast<int>(n), 0);
    if (sent <= 0) return false;
    bytes += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

DWORD VmTransport::transact(BYTE netfn_lun, BYTE command, const BYTE* data, WORD length,
                            BYTE* buffer, WORD* buffer_length, BYTE* completion_code) {
  EnterCriticalSection(&lock_);
  DWORD status = kOk;
  DWORD deadline = GetTickCount() + settings_.reply_timeout_ms;
  if (socket_ != INVALID_SOCKET && peer_closed(deadline)) disconnect();
  // One attempt per call, bounded by the connect timeout: a restarting BMC
  // costs its caller at most that long on top of the reply bound, and the
  // session stays usable.
  if (socket_ == INVALID_SOCKET) {
    DWORD start = GetTickCount();
    status = connect_once();
    deadline += GetTickCount() - start;
  }
  if (status == kOk) {
    BYTE seq = next_seq_++;
    BYTE frame[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
    size_t n = vmproto::encode_request(seq, netfn_lun, command, data, length, frame, sizeof(frame));
    if (n == 0) {
      status = kBadArgument;
    } else if (!send_all(frame, n)) {
      disconnect();
      status = kSendFailed;
    } else {
      status =
          await_reply(seq, netfn_lun, command, deadline, buffer, buffer_length, completion_code);
    }
  }
  LeaveCriticalSection(&lock_);
  return status;
}

DWORD VmTransport::await_reply(BYTE seq, BYTE netfn_lun, BYTE command, DWORD deadline, BYTE* buffer,
                               WORD* buffer_length, BYTE* completion_code) {
  char chunk[512];
  for (;;) {
    DWORD left = remaining_ms(deadline);
    if (left == 0) return kReplyTimeout;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval tv = to_timeval(left);
    int ready = select(0, &readable, nullptr, nullptr, &tv);
    if (ready == 0) return kReplyTimeout;
    if (ready < 0) {
      disconnect();
      return kConnectionLost;
    }
    int got = recv(socket_, chunk, sizeof(chunk), 0);
    if (got <= 0) {
      disconnect();
      return kConnectionLost;
    }
    bool found = false;
    for (int i = 0; i < got; ++i) {
      // Commands from the BMC side (reset, power-off, attention ...) and
      // broken frames are not the library's business: skip them. Bytes after
      // the reply still go through the decoder to keep it on frame bounds.
      if (decoder_.push(static_cast<BYTE>(chunk[i])) != vmproto::Event::kMessage || found) {
        continue;
      }
      vmproto::Reply reply;
      if (!vmproto::parse_reply(decoder_.frame(), &reply)) continue;
      // A reply to an earlier request that timed out is stale: drop it. A
      // response's netfn is the request's plus one (IPMI 2.0 section 5.1);
      // the LUN is not compared.
      if (reply.seq != seq || reply.command != command ||
          ipmi::netfn_of(reply.netfn_lun) != ipmi::netfn_of(ipmi::response_netfn_lun(netfn_lun))) {
        continue;
      }
      size_t cap = *buffer_length;
      size_t copy = reply.length < cap ? reply.length : cap;
      if (copy > 0) std::memcpy(buffer, reply.data, copy);
      *buffer_length = static_cast<WORD>(copy);
      *completion_code = reply.completion_code;
      found = true;
    }
    if (found) return kOk;
  }
}

}  // namespace qd4
