#include "bmc_link.h"

#include <winsock2.h>

#include <cstring>

#include "vmproto/vm_codec.h"

namespace wmifake {

namespace {

// Announced on connect as our driver library does: without the reset
// capability ipmi_sim refuses a hard-reset watchdog action with CCh.
constexpr BYTE kCapabilities = vmproto::kCapPower | vmproto::kCapReset;
constexpr DWORD kConnectTimeoutMs = 2000;

struct Link {
  Link() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  bool wsa_started = false;
  SOCKET socket = INVALID_SOCKET;
  char host[64] = "";
  uint16_t port = 0;
  BYTE next_seq = 1;
  vmproto::Decoder decoder;
};

Link& link() {
  static Link instance;
  return instance;
}

timeval to_timeval(DWORD ms) {
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return tv;
}

void drop(Link* l) {
  if (l->socket != INVALID_SOCKET) closesocket(l->socket);
  l->socket = INVALID_SOCKET;
  l->decoder.reset();
}

bool send_all(SOCKET s, const BYTE* bytes, size_t n) {
  while (n > 0) {
    int sent = send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(n), 0);
    if (sent <= 0) return false;
    bytes += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

bool connect_to(Link* l, const Settings& settings) {
  if (!l->wsa_started) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    l->wsa_started = true;
  }
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(settings.port);
  addr.sin_addr.s_addr = inet_addr(settings.host);
  if (addr.sin_addr.s_addr == INADDR_NONE) return false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  u_long non_blocking = 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ||
            WSAGetLastError() == WSAEWOULDBLOCK;
  if (ok) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval tv = to_timeval(kConnectTimeoutMs);
    int error = 0;
    int error_len = sizeof(error);
    ok = select(0, nullptr, &writable, nullptr, &tv) == 1 &&
         getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &error_len) == 0 &&
         error == 0;
  }
  u_long blocking = 0;
  if (ok) ok = ioctlsocket(s, FIONBIO, &blocking) == 0;
  BYTE frame[vmproto::encoded_size_bound(2) * 2];
  const BYTE version = vmproto::kProtocolVersion;
  const BYTE caps = kCapabilities;
  size_t n = vmproto::encode_command(vmproto::kCmdVersion, &version, 1, frame, sizeof(frame));
  size_t m =
      vmproto::encode_command(vmproto::kCmdCapabilities, &caps, 1, frame + n, sizeof(frame) - n);
  if (ok) ok = n != 0 && m != 0 && send_all(s, frame, n + m);
  if (!ok) {
    closesocket(s);
    return false;
  }
  l->socket = s;
  std::memcpy(l->host, settings.host, sizeof(l->host));
  l->port = settings.port;
  l->decoder.reset();
  return true;
}

LinkResult await_reply(Link* l, BYTE seq, BYTE command, DWORD timeout_ms, BmcReply* reply) {
  DWORD start = GetTickCount();
  char chunk[512];
  for (;;) {
    DWORD spent = GetTickCount() - start;
    if (spent >= timeout_ms) return LinkResult::kTimeout;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(l->socket, &readable);
    timeval tv = to_timeval(timeout_ms - spent);
    int ready = select(0, &readable, nullptr, nullptr, &tv);
    if (ready == 0) return LinkResult::kTimeout;
    int got = ready < 0 ? -1 : recv(l->socket, chunk, sizeof(chunk), 0);
    if (got <= 0) {
      drop(l);
      return LinkResult::kLost;
    }
    bool found = false;
    for (int i = 0; i < got; ++i) {
      // The BMC's hardware commands (reset on expiry ...) do not concern the
      // driver; replies to requests that timed out earlier are stale.
      if (l->decoder.push(static_cast<BYTE>(chunk[i])) != vmproto::Event::kMessage || found) {
        continue;
      }
      vmproto::Reply r;
      if (!vmproto::parse_reply(l->decoder.frame(), &r) || r.seq != seq || r.command != command) {
        continue;
      }
      reply->completion_code = r.completion_code;
      reply->length = r.length < sizeof(reply->data) ? r.length : sizeof(reply->data);
      if (reply->length > 0) std::memcpy(reply->data, r.data, reply->length);
      found = true;
    }
    if (found) return LinkResult::kOk;
  }
}

LinkResult attempt(Link* l, const Settings& settings, BYTE netfn, BYTE lun, BYTE command,
                   const BYTE* data, size_t length, BmcReply* reply) {
  if (l->socket == INVALID_SOCKET && !connect_to(l, settings)) return LinkResult::kConnectFailed;
  BYTE seq = l->next_seq++;
  BYTE frame[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  // IPMI 2.0 section 5.1: the netfn in the upper six bits, the LUN in the lower two.
  BYTE netfn_lun = static_cast<BYTE>((netfn << 2) | (lun & 0x03));
  size_t n = vmproto::encode_request(seq, netfn_lun, command, data, length, frame, sizeof(frame));
  if (n == 0 || !send_all(l->socket, frame, n)) {
    drop(l);
    return LinkResult::kLost;
  }
  return await_reply(l, seq, command, settings.reply_timeout_ms, reply);
}

}  // namespace

LinkResult bmc_transact(const Settings& settings, BYTE netfn, BYTE lun, BYTE command,
                        const BYTE* data, size_t length, BmcReply* reply) {
  Link* l = &link();
  EnterCriticalSection(&l->lock);
  if (l->socket != INVALID_SOCKET &&
      (l->port != settings.port || std::strcmp(l->host, settings.host) != 0)) {
    drop(l);
  }
  // The TCP connection is the simulation's, not the driver's (a system
  // interface has none to lose): one that broke since the last request is
  // made again and the request sent again once.
  bool was_open = l->socket != INVALID_SOCKET;
  LinkResult result = attempt(l, settings, netfn, lun, command, data, length, reply);
  if (result == LinkResult::kLost && was_open) {
    result = attempt(l, settings, netfn, lun, command, data, length, reply);
  }
  LeaveCriticalSection(&l->lock);
  return result;
}

}  // namespace wmifake
