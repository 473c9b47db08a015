#include "sim_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "bmcsim/journal.h"

namespace bmctest {

int64_t now_ms() { return bmcsim::monotonic_ms(); }

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) s += bmcsim::hex_byte(b);
  return s;
}

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

Host::~Host() { disconnect(); }

bool Host::connect(int port) {
  disconnect();
  fd_ = connect_loopback(port);
  closed_ = false;
  decoder_.reset();
  pending_.clear();
  return fd_ >= 0;
}

void Host::disconnect() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool Host::send_bytes(const std::vector<uint8_t>& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool Host::send_request(uint8_t seq, uint8_t netfn_lun, uint8_t command,
                        const std::vector<uint8_t>& data) {
  uint8_t frame[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  size_t n = vmproto::encode_request(seq, netfn_lun, command, data.data(), data.size(), frame,
                                     sizeof(frame));
  return n > 0 && send_bytes(std::vector<uint8_t>(frame, frame + n));
}

bool Host::send_command(uint8_t command, const std::vector<uint8_t>& data) {
  uint8_t frame[vmproto::encoded_size_bound(vmproto::kMaxFrame)];
  size_t n = vmproto::encode_command(command, data.data(), data.size(), frame, sizeof(frame));
  return n > 0 && send_bytes(std::vector<uint8_t>(frame, frame + n));
}

bool Host::read_frame(int timeout_ms, vmproto::Event* event, std::vector<uint8_t>* bytes) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    while (!pending_.empty()) {
      uint8_t b = pending_.front();
      pending_.erase(pending_.begin());
      vmproto::Event e = decoder_.push(b);
      if (e == vmproto::Event::kMessage || e == vmproto::Event::kCommand) {
        *event = e;
        const vmproto::Frame& f = decoder_.frame();
        bytes->assign(f.bytes, f.bytes + f.length);
        return true;
      }
    }
    int64_t left = deadline - now_ms();
    if (left <= 0 || fd_ < 0 || closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    uint8_t chunk[512];
    ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    pending_.insert(pending_.end(), chunk, chunk + n);
  }
}

Answer Host::await_reply(uint8_t seq, int timeout_ms) {
  Answer a;
  int64_t start = now_ms();
  int64_t deadline = start + timeout_ms;
  vmproto::Event event;
  std::vector<uint8_t> bytes;
  while (read_frame(static_cast<int>(deadline - now_ms()), &event, &bytes)) {
    if (event == vmproto::Event::kCommand) {
      commands_.push_back(bytes[0]);
      continue;
    }
    if (bytes.size() < 4 || bytes[0] != seq) continue;
    a.received = true;
    a.cc = bytes[3];
    a.data.assign(bytes.begin() + 4, bytes.end());
    break;
  }
  a.elapsed_ms = now_ms() - start;
  return a;
}

Answer Host::ask(uint8_t command, const std::vector<uint8_t>& data, int timeout_ms,
                 uint8_t netfn_lun) {
  uint8_t seq = next_seq();
  if (!send_request(seq, netfn_lun, command, data)) return Answer();
  return await_reply(seq, timeout_ms);
}

int Host::await_command(int timeout_ms) {
  if (!commands_.empty()) {
    int c = commands_.front();
    commands_.erase(commands_.begin());
    return c;
  }
  int64_t deadline = now_ms() + timeout_ms;
  vmproto::Event event;
  std::vector<uint8_t> bytes;
  while (read_frame(static_cast<int>(deadline - now_ms()), &event, &bytes)) {
    if (event == vmproto::Event::kCommand) return bytes[0];
  }
  return -1;
}

bool Host::await_closed(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  vmproto::Event event;
  std::vector<uint8_t> bytes;
  while (!closed_ && now_ms() < deadline) {
    read_frame(static_cast<int>(deadline - now_ms()), &event, &bytes);
  }
  return closed_;
}

Sim::Sim(bmcsim::Options options) {
  static int counter = 0;
  char path[128];
  std::snprintf(path, sizeof(path), "/tmp/bmc_tests_%d_%d.jsonl", static_cast<int>(getpid()),
                ++counter);
  journal_path_ = path;
  std::remove(path);
  options.port = 0;
  options.control_port = 0;
  options.journal_path = journal_path_;
  server_.reset(new bmcsim::Server(options));
  started_ = server_->start(&error_);
  if (started_) thread_ = std::thread([this] { server_->run(); });
}

Sim::~Sim() {
  if (control_fd_ >= 0) close(control_fd_);
  if (started_) {
    server_->stop();
    thread_.join();
  }
  server_.reset();
  std::remove(journal_path_.c_str());
}

std::string Sim::control(const std::string& line) {
  if (control_fd_ < 0) control_fd_ = connect_loopback(server_->control_port());
  if (control_fd_ < 0) return "";
  std::string out = line + "\n";
  if (send(control_fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
    return "";
  }
  std::string reply;
  int64_t deadline = now_ms() + 2000;
  while (reply.find('\n') == std::string::npos && now_ms() < deadline) {
    pollfd p{control_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[256];
    ssize_t n = recv(control_fd_, c, sizeof(c), 0);
    if (n <= 0) break;
    reply.append(c, static_cast<size_t>(n));
  }
  size_t eol = reply.find('\n');
  return eol == std::string::npos ? "" : reply.substr(0, eol);
}

std::vector<std::string> Sim::journal() const {
  std::vector<std::string> lines;
  std::ifstream in(journal_path_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Sim::journal_matching(const std::vector<std::string>& fragments,
                                               int wait_ms) const {
  int64_t until = now_ms() + wait_ms;
  for (;;) {
    std::vector<std::string> out;
    for (const std::string& line : journal()) {
      bool all = true;
      for (const std::string& f : fragments) all = all && line.find(f) != std::string::npos;
      if (all) out.push_back(line);
    }
    if (!out.empty() || now_ms() >= until) return out;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Sim::journal_text() const {
  std::string all;
  for (const std::string& line : journal()) all += line + "\n";
  return all;
}

}  // namespace bmctest
