#include "bmcsim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bmcsim {

namespace {

constexpr int kMaxControlClients = 8;
constexpr size_t kMaxControlLine = 256;
constexpr int kMaxPollMs = 100;

// Listens on 127.0.0.1:port (0: any free port); returns the fd or -1.
int listen_loopback(int port, int* bound_port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *bound_port = ntohs(addr.sin_port);
  return fd;
}

bool send_all(int fd, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, bytes, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

const char* pretimeout_name(uint8_t irq) {
  static const char* const kNames[] = {"none",     "SMI",      "NMI",      "messaging",
                                       "reserved", "reserved", "reserved", "reserved"};
  return kNames[irq & ipmi::kPretimeoutMask];
}

const char* vm_command_name(uint8_t command) {
  switch (command) {
    case vmproto::kCmdVersion:
      return "version";
    case vmproto::kCmdCapabilities:
      return "capabilities";
    case vmproto::kCmdNoAttn:
      return "no attn";
    case vmproto::kCmdAttn:
      return "attn";
    case vmproto::kCmdAttnIrq:
      return "attn irq";
    case vmproto::kCmdPowerOff:
      return "power off";
    case vmproto::kCmdReset:
      return "reset";
    case vmproto::kCmdEnableIrq:
      return "enable irq";
    case vmproto::kCmdDisableIrq:
      return "disable irq";
    case vmproto::kCmdSendNmi:
      return "send nmi";
    case vmproto::kCmdGracefulShutdown:
      return "graceful shutdown";
    default:
      return "unknown";
  }
}

const char* frame_error_name(vmproto::Event event) {
  switch (event) {
    case vmproto::Event::kBadChecksum:
      return "checksum";
    case vmproto::Event::kTooShort:
      return "too short";
    case vmproto::Event::kTooLong:
      return "too long";
    case vmproto::Event::kBadEscape:
      return "escape";
    default:
      return "other";
  }
}

}  // namespace

Server::Server(const Options& options) : options_(options) {}

Server::~Server() {
  for (int fd : {listen_fd_, control_fd_, host_fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
  for (ControlClient& c : controls_) close(c.fd);
}

bool Server::start(std::string* error) {
  if (!journal_.open(options_.journal_path, options_.journal_stdout)) {
    *error = "cannot open journal " + options_.journal_path;
    return false;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "pipe failed";
    return false;
  }
  listen_fd_ = listen_loopback(options_.port, &port_);
  if (listen_fd_ < 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(options_.port);
    return false;
  }
  if (options_.control_port >= 0) {
    control_fd_ = listen_loopback(options_.control_port, &control_port_);
    if (control_fd_ < 0) {
      *error = "cannot listen on control port 127.0.0.1:" + std::to_string(options_.control_port);
      return false;
    }
  }
  if (options_.timer_running) {
    // As if other software had armed SMS/OS with no action and started it.
    bmc_.watchdog().start_running(ipmi::kUseSmsOs, ipmi::kActionNone, options_.timer_count,
                                  monotonic_ms());
  }
  for (const std::string& line : options_.control_lines) {
    std::string reply = run_control(line);
    if (reply.compare(0, 2, "ok") != 0) {
      *error = "--control \"" + line + "\": " + reply;
      return false;
    }
  }
  journal_.write(Entry("listen")
                     .num("port", port_)
                     .num("control_port", control_port_)
                     .flag("timer_running", bmc_.watchdog().running()));
  return true;
}

void Server::stop() {
  stopping_.store(true);
  char b = 1;
  ssize_t ignored = write(wake_[1], &b, 1);
  (void)ignored;
}

int Server::poll_timeout_ms() const {
  int64_t now = monotonic_ms();
  int64_t timeout = kMaxPollMs;
  int64_t due = bmc_.watchdog().next_due_ms();
  if (due >= 0 && due - now < timeout) timeout = due - now;
  for (const Delayed& d : delayed_) {
    if (d.due_ms - now < timeout) timeout = d.due_ms - now;
  }
  if (stream_until_ms_ > now && stream_until_ms_ - now < timeout) timeout = stream_until_ms_ - now;
  return timeout < 0 ? 0 : static_cast<int>(timeout);
}

void Server::run() {
  while (!stopping_.load()) {
    std::vector<pollfd> fds;
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    fds.push_back({control_fd_, POLLIN, 0});
    bool streaming = stream_until_ms_ > monotonic_ms();
    fds.push_back({host_fd_, static_cast<short>(POLLIN | (streaming ? POLLOUT : 0)), 0});
    for (const ControlClient& c : controls_) fds.push_back({c.fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), poll_timeout_ms());
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      // The old host first: its close is seen before a new host replaces it.
      if (host_fd_ >= 0 && (fds[3].revents & ~POLLOUT) != 0) read_host();
      if (host_fd_ >= 0 && (fds[3].revents & POLLOUT) != 0) stream_to_host();
      if (fds[1].revents & POLLIN) accept_host();
      if (fds[2].revents & POLLIN) accept_control();
      size_t polled = fds.size() - 4;  // clients accepted just now come after
      std::vector<ControlClient> kept;
      for (size_t i = 0; i < controls_.size(); ++i) {
        bool keep = i >= polled || fds[4 + i].revents == 0 || read_control(&controls_[i]);
        if (keep) {
          kept.push_back(controls_[i]);
        } else {
          close(controls_[i].fd);
        }
      }
      controls_.swap(kept);
    }
    tick();
  }
  if (host_fd_ >= 0) drop_host("shutdown");
  journal_.write(Entry("shutdown"));
}

void Server::accept_host() {
  int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // One host at a time: a new connection replaces an old one whose peer may
  // have died without closing it.
  if (host_fd_ >= 0) drop_host("replaced");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  host_fd_ = fd;
  decoder_.reset();
  journal_.write(Entry("connect"));
}

void Server::accept_control() {
  int fd = accept4(control_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (static_cast<int>(controls_.size()) >= kMaxControlClients) {
    close(fd);
    return;
  }
  controls_.push_back({fd, std::string()});
}

void Server::drop_host(const char* reason) {
  close(host_fd_);
  host_fd_ = -1;
  delayed_.clear();
  decoder_.reset();
  journal_.write(Entry("disconnect").str("reason", reason));
}

void Server::read_host() {
  uint8_t chunk[1024];
  ssize_t got = recv(host_fd_, chunk, sizeof(chunk), 0);
  if (got < 0 && errno == EINTR) return;
  if (got <= 0) {
    drop_host(got == 0 ? "closed" : "error");
    return;
  }
  for (ssize_t i = 0; i < got && host_fd_ >= 0; ++i) {
    vmproto::Event event = decoder_.push(chunk[i]);
    if (event != vmproto::Event::kNone) on_frame(event, decoder_.frame());
  }
}

void Server::on_frame(vmproto::Event event, const vmproto::Frame& frame) {
  if (event == vmproto::Event::kCommand) {
    on_command(frame);
    return;
  }
  vmproto::Request request;
  if (event == vmproto::Event::kMessage && vmproto::parse_request(frame, &request)) {
    on_request(request);
    return;
  }
  journal_.write(Entry("frame_error").str("error", frame_error_name(event)));
}

void Server::on_command(const vmproto::Frame& frame) {
  journal_.write(Entry("command")
                     .str("cmd", vm_command_name(frame.bytes[0]))
                     .hex("data", frame.bytes + 1, frame.length - 1));
}

void Server::on_request(const vmproto::Request& request) {
  Entry entry("request");
  entry.num("seq", request.seq)
      .str("netfn", hex_byte(ipmi::netfn_of(request.netfn_lun)).c_str())
      .num("lun", ipmi::lun_of(request.netfn_lun))
      .str("cmd", hex_byte(request.command).c_str());
  const char* name = command_name(request.netfn_lun, request.command);
  if (name != nullptr) entry.str("name", name);
  journal_.write(entry.hex("data", request.data, request.length));

  uint8_t reply_netfn = ipmi::response_netfn_lun(request.netfn_lun);
  Fault fault = take_fault(&fault_);
  switch (fault.kind) {
    case Fault::kNoReply:
      journal_.write(Entry("fault").str("fault", "noreply").num("seq", request.seq));
      return;
    case Fault::kBadReply: {
      // An answer to someone else: not carried out, one field off.
      static const char* const kFields[] = {"netfn", "seq", "cmd"};
      journal_.write(Entry("fault")
                         .str("fault", "badreply")
                         .str("field", kFields[fault.field])
                         .num("seq", request.seq));
      bool netfn = fault.field == Fault::kNetfn;
      bool seq = fault.field == Fault::kSeq;
      bool cmd = fault.field == Fault::kCmd;
      send_reply(seq ? static_cast<uint8_t>(request.seq ^ 0x80) : request.seq,
                 netfn ? request.netfn_lun : reply_netfn,
                 cmd ? static_cast<uint8_t>(request.command ^ 0x01) : request.command, 0x00,
                 nullptr, 0);
      return;
    }
    case Fault::kCompletionCode:
      // The injected error stands for a refused request: nothing is done.
      journal_.write(Entry("fault").str("fault", "cc").num("seq", request.seq));
      send_reply(request.seq, reply_netfn, request.command, fault.cc, nullptr, 0);
      return;
    default:
      break;
  }
  uint8_t data[kMaxReplyData];
  size_t n = 0;
  uint8_t cc = bmc_.handle(request.netfn_lun, request.command, request.data, request.length,
                           monotonic_ms(), data, &n);
  if (fault.kind == Fault::kDelay) {
    journal_.write(Entry("fault")
                       .str("fault", "delay")
                       .num("seq", request.seq)
                       .num("delay_ms", fault.delay_ms));
    delayed_.push_back(Delayed{monotonic_ms() + fault.delay_ms, request.seq, reply_netfn,
                               request.command, cc, std::vector<uint8_t>(data, data + n)});
    return;
  }
  send_reply(request.seq, reply_netfn, request.command, cc, data, n);
}

void Server::send_reply(uint8_t seq, uint8_t netfn_lun, uint8_t command, uint8_t cc,
                        const uint8_t* data, size_t n) {
  uint8_t frame[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  size_t len = vmproto::encode_reply(seq, netfn_lun, command, cc, data, n, frame, sizeof(frame));
  journal_.write(Entry("reply")
                     .num("seq", seq)
                     .str("cmd", hex_byte(command).c_str())
                     .str("cc", hex_byte(cc).c_str())
                     .hex("data", data, n));
  if (host_fd_ >= 0 && len > 0 && !send_all(host_fd_, frame, len)) drop_host("error");
}

void Server::send_vm_command(uint8_t command, const char* action) {
  bool delivered = false;
  if (host_fd_ >= 0) {
    uint8_t frame[vmproto::encoded_size_bound(1)];
    size_t len = vmproto::encode_command(command, nullptr, 0, frame, sizeof(frame));
    delivered = len > 0 && send_all(host_fd_, frame, len);
    if (!delivered) drop_host("error");
  }
  journal_.write(Entry("action")
                     .str("action", action)
                     .str("vm_cmd", vm_command_name(command))
                     .flag("delivered", delivered));
}

void Server::stream_to_host() {
  // Framing bytes only, each a frame of its own (an empty command), so that
  // a block cut anywhere leaves the replies in between intact.
  uint8_t block[4096];
  std::memset(block, vmproto::kCmdChar, sizeof(block));
  ssize_t sent = send(host_fd_, block, sizeof(block), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop_host("error");
}

void Server::tick() {
  int64_t now = monotonic_ms();
  WatchdogEvent events[2];
  int n = bmc_.watchdog().poll(now, events, 2);
  for (int i = 0; i < n; ++i) {
    const WatchdogEvent& e = events[i];
    if (e.kind == WatchdogEvent::kPretimeout) {
      journal_.write(Entry("pretimeout")
                         .str("use", ipmi::use_name(e.use))
                         .str("interrupt", pretimeout_name(e.pretimeout))
                         .num("seconds", bmc_.watchdog().pretimeout_seconds()));
      log_sel(e);
      if (e.pretimeout == ipmi::kPretimeoutNmi) send_vm_command(vmproto::kCmdSendNmi, "nmi");
      continue;
    }
    journal_.write(Entry("expiry")
                       .str("use", ipmi::use_name(e.use))
                       .str("action", ipmi::action_name(e.action)));
    log_sel(e);
    // IPMI 2.0 section 27.1 timeout actions, carried out over the VM protocol.
    switch (e.action) {
      case ipmi::kActionHardReset:
        send_vm_command(vmproto::kCmdReset, "hard reset");
        break;
      case ipmi::kActionPowerDown:
        send_vm_command(vmproto::kCmdPowerOff, "power down");
        break;
      case ipmi::kActionPowerCycle:
        // The VM protocol has no power-on; a reset brings the host back.
        send_vm_command(vmproto::kCmdReset, "power cycle");
        break;
      default:
        break;
    }
  }
  std::vector<Delayed> due;
  due.swap(delayed_);
  for (Delayed& d : due) {
    if (d.due_ms > now) {
      delayed_.push_back(d);
    } else if (host_fd_ >= 0) {
      // send_reply may drop the host, which clears delayed_.
      send_reply(d.seq, d.netfn_lun, d.command, d.cc, d.data.data(), d.data.size());
    }
  }
  if (host_fd_ < 0) delayed_.clear();
}

void Server::log_sel(const WatchdogEvent& event) {
  uint16_t id = bmc_.log_watchdog_event(event, wall_seconds());
  if (id != 0) journal_.write(Entry("sel").num("record_id", id).str("sensor", "watchdog 2"));
}

void Server::add_sel_record(const SelEvent& event, const char* sensor) {
  uint16_t id = bmc_.sel().add(wall_seconds(), event);
  journal_.write(Entry("sel").num("record_id", id).str("sensor", sensor));
}

bool Server::read_control(ControlClient* client) {
  char chunk[256];
  ssize_t got = recv(client->fd, chunk, sizeof(chunk), 0);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) return false;
  client->pending.append(chunk, static_cast<size_t>(got));
  size_t eol;
  while ((eol = client->pending.find('\n')) != std::string::npos) {
    std::string line = client->pending.substr(0, eol);
    client->pending.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply = run_control(line) + "\n";
    if (!send_all(client->fd, reinterpret_cast<const uint8_t*>(reply.data()), reply.size())) {
      return false;
    }
  }
  return client->pending.size() <= kMaxControlLine;
}

std::string Server::run_control(const std::string& line) {
  ControlCommand command;
  std::string error;
  if (!parse_control(line, &command, &error)) {
    journal_.write(Entry("control").str("line", line.c_str()).str("error", error.c_str()));
    return "error " + error;
  }
  journal_.write(Entry("control").str("line", line.c_str()));
  Watchdog& wd = bmc_.watchdog();
  int64_t now = monotonic_ms();
  switch (command.kind) {
    case ControlCommand::kFault:
      fault_ = command.fault;
      break;
    case ControlCommand::kClear:
      fault_ = Fault();
      stream_until_ms_ = 0;
      break;
    case ControlCommand::kStream:
      stream_until_ms_ = now + command.stream_ms;
      break;
    case ControlCommand::kDisconnect:
      if (host_fd_ >= 0) drop_host("control");
      break;
    case ControlCommand::kRunTimer:
      wd.start_running(command.use, command.action, command.count, now);
      break;
    case ControlCommand::kSelAdd: {
      // Event data 1 bits 7..6 = 11b when event data 2 carries a
      // sensor-specific extension (section 29.7).
      bool has_data2 = command.data2 >= 0;
      SelEvent event{command.sensor_type,
                     0,
                     ipmi::kEventTypeSensorSpecific,
                     static_cast<uint8_t>((has_data2 ? 0xC0 : 0) | command.offset),
                     static_cast<uint8_t>(has_data2 ? command.data2 : 0xFF),
                     0xFF};
      add_sel_record(event, "control");
      break;
    }
    case ControlCommand::kSelFill:
      // Temperature (01h), threshold event type (01h), upper non-critical
      // going high (07h): records the probe passes over.
      for (int i = 0; i < command.count && bmc_.sel().size() < Sel::kCapacity; ++i)
        bmc_.sel().add(wall_seconds(), SelEvent{0x01, 1, 0x01, 0x07, 0xFF, 0xFF});
      break;
    case ControlCommand::kSelNone:
      bmc_.set_sel_present(false);
      break;
    case ControlCommand::kRefusePretimeout:
    case ControlCommand::kAcceptPretimeout:
      wd.refuse_pretimeout(command.kind == ControlCommand::kRefusePretimeout, command.cc);
      break;
    case ControlCommand::kStatus: {
      Entry e("status");
      e.flag("connected", host_fd_ >= 0)
          .flag("initialised", wd.initialised())
          .flag("running", wd.running())
          .str("use", ipmi::use_name(wd.use()))
          .str("action", ipmi::action_name(wd.action()))
          .str("pretimeout", pretimeout_name(wd.pretimeout_interrupt()))
          .num("pretimeout_s", wd.pretimeout_seconds())
          .num("initial", wd.initial_count())
          .num("present", wd.present_count(now))
          .str("expired", hex_byte(wd.expiration_flags()).c_str())
          .num("sel_entries", static_cast<int64_t>(bmc_.sel().size()));
      return "ok " + e.text() + "}";
    }
    case ControlCommand::kPing:
      break;
  }
  return "ok";
}

}  // namespace bmcsim
