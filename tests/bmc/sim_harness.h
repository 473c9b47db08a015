// Test helpers: bmcsim served in-process on free loopback ports, a host that
// speaks the VM protocol to it, and the journal it writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bmcsim/server.h"
#include "ipmi/ipmi.h"
#include "vmproto/vm_codec.h"

namespace bmctest {

// The netfn/LUN byte of the host's requests.
constexpr uint8_t kNetfnApp = ipmi::kAppLun0;

// One reply as the host saw it.
struct Answer {
  bool received = false;
  uint8_t cc = 0xFF;
  std::vector<uint8_t> data;
  int64_t elapsed_ms = 0;
};

// Connects to 127.0.0.1:port; -1 on failure.
int connect_loopback(int port);

// The system-interface side, for tests.
class Host {
 public:
  ~Host();
  bool connect(int port);
  void disconnect();
  bool send_bytes(const std::vector<uint8_t>& bytes);
  bool send_request(uint8_t seq, uint8_t netfn_lun, uint8_t command,
                    const std::vector<uint8_t>& data);
  bool send_command(uint8_t command, const std::vector<uint8_t>& data);
  // Sends a request with the next sequence number and waits for its reply.
  Answer ask(uint8_t command, const std::vector<uint8_t>& data = {}, int timeout_ms = 2000,
             uint8_t netfn_lun = kNetfnApp);
  // Waits for the reply with this sequence number.
  Answer await_reply(uint8_t seq, int timeout_ms);
  // Waits for a VM command from the BMC; -1 on timeout or closed connection.
  int await_command(int timeout_ms);
  // True when the BMC closes the connection within the time.
  bool await_closed(int timeout_ms);
  uint8_t next_seq() { return seq_++; }

 private:
  // Reads until a frame is decoded or the time is up; false on timeout/EOF.
  bool read_frame(int timeout_ms, vmproto::Event* event, std::vector<uint8_t>* bytes);

  int fd_ = -1;
  bool closed_ = false;
  uint8_t seq_ = 1;
  vmproto::Decoder decoder_;
  std::vector<uint8_t> pending_;
  std::vector<int> commands_;  // VM commands seen while waiting for replies
};

// bmcsim on a thread of this process, on free ports, journaling to a file.
class Sim {
 public:
  explicit Sim(bmcsim::Options options = bmcsim::Options());
  ~Sim();
  bool started() const { return started_; }
  const std::string& start_error() const { return error_; }
  int port() const { return server_->port(); }
  // One control line and its one-line answer ("" on timeout).
  std::string control(const std::string& line);
  std::vector<std::string> journal() const;
  // Journal lines holding every one of the fragments; waits up to wait_ms
  // for a first one (bmcsim journals a VM command after it has sent it).
  std::vector<std::string> journal_matching(const std::vector<std::string>& fragments,
                                            int wait_ms = 0) const;
  std::string journal_text() const;

 private:
  std::string journal_path_;
  std::unique_ptr<bmcsim::Server> server_;
  std::thread thread_;
  bool started_ = false;
  std::string error_;
  int control_fd_ = -1;
};

int64_t now_ms();
std::string hex(const std::vector<uint8_t>& bytes);

}  // namespace bmctest
