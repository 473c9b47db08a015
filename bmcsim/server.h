// bmcsim's event loop: the VM-protocol port for the host, the text control
// port, the watchdog's clock and the delayed replies, on one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "bmcsim/bmc.h"
#include "bmcsim/control.h"
#include "bmcsim/journal.h"
#include "vmproto/vm_codec.h"

namespace bmcsim {

struct Options {
  int port = 9002;          // 0: any free port (see the "listen" entry)
  int control_port = 9003;  // 0: any free port; -1: no control port
  std::string journal_path;
  bool journal_stdout = false;
  bool timer_running = false;  // start with the timer armed by other software
  uint16_t timer_count = 6000;
  std::vector<std::string> control_lines;  // run before serving
};

class Server {
 public:
  explicit Server(const Options& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the ports (127.0.0.1 only); false with *error on failure.
  bool start(std::string* error);
  int port() const { return port_; }
  int control_port() const { return control_port_; }
  // Serves until stop(); then closes every connection.
  void run();
  // Safe from any thread and from a signal handler.
  void stop();

 private:
  struct ControlClient {
    int fd;
    std::string pending;
  };
  struct Delayed {
    int64_t due_ms;
    uint8_t seq, netfn_lun, command, cc;
    std::vector<uint8_t> data;
  };

  void accept_host();
  void accept_control();
  void drop_host(const char* reason);
  void read_host();
  void on_frame(vmproto::Event event, const vmproto::Frame& frame);
  void on_request(const vmproto::Request& request);
  void on_command(const vmproto::Frame& frame);
  void send_reply(uint8_t seq, uint8_t netfn_lun, uint8_t command, uint8_t cc, const uint8_t* data,
                  size_t n);
  void send_vm_command(uint8_t command, const char* name);
  // Sends what the host's socket takes now of a steady stream of bytes.
  void stream_to_host();
  bool read_control(ControlClient* client);
  std::string run_control(const std::string& line);
  void tick();
  void log_sel(const WatchdogEvent& event);
  void add_sel_record(const SelEvent& event, const char* sensor);
  int poll_timeout_ms() const;

  Options options_;
  Journal journal_;
  Bmc bmc_;
  Fault fault_;
  int64_t stream_until_ms_ = 0;  // monotonic_ms; streaming while later
  std::vector<Delayed> delayed_;
  std::vector<ControlClient> controls_;
  vmproto::Decoder decoder_;
  int listen_fd_ = -1;
  int control_fd_ = -1;
  int host_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  int control_port_ = -1;
  std::atomic<bool> stopping_{false};
};

}  // namespace bmcsim
