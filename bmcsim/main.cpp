// bmcsim: a BMC simulator speaking the VM protocol on loopback. Usage in
// README.md; run "bmcsim --help" for the flags.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bmcsim/server.h"

namespace {

bmcsim::Server* g_server = nullptr;

void on_signal(int) {
  if (g_server != nullptr) g_server->stop();
}

const char kUsage[] =
    "usage: bmcsim [--port N] [--control-port N] [--journal FILE] [--stdout]\n"
    "              [--timer-running] [--timer-count N] [--control \"LINE\"]...\n"
    "  --port N          VM-protocol port on 127.0.0.1 (default 9002, 0 = any free)\n"
    "  --control-port N  text control port (default 9003, 0 = any free, -1 = none)\n"
    "  --journal FILE    append the JSON-lines journal to FILE\n"
    "  --stdout          write the journal to standard output too\n"
    "  --timer-running   start with the watchdog running, as armed by other software\n"
    "  --timer-count N   its count in 100 ms (default 6000)\n"
    "  --control LINE    run a control command before serving (repeatable)\n";

bool parse_int(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (*s == '\0' || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_args(int argc, char** argv, bmcsim::Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    long v = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--stdout") {
      o->journal_stdout = true;
    } else if (a == "--timer-running") {
      o->timer_running = true;
    } else if (a == "--port" && has_value && parse_int(argv[++i], 0, 65535, &v)) {
      o->port = static_cast<int>(v);
    } else if (a == "--control-port" && has_value && parse_int(argv[++i], -1, 65535, &v)) {
      o->control_port = static_cast<int>(v);
    } else if (a == "--timer-count" && has_value && parse_int(argv[++i], 1, 65535, &v)) {
      o->timer_count = static_cast<uint16_t>(v);
    } else if (a == "--journal" && has_value) {
      o->journal_path = argv[++i];
    } else if (a == "--control" && has_value) {
      o->control_lines.push_back(argv[++i]);
    } else {
      std::fprintf(stderr, "bmcsim: bad argument %s\n%s", a.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bmcsim::Options options;
  if (!parse_args(argc, argv, &options)) return 2;
  bmcsim::Server server(options);
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "bmcsim: %s\n", error.c_str());
    return 1;
  }
  g_server = &server;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  server.run();
  g_server = nullptr;
  return 0;
}
