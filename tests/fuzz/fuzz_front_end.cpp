// The front end on arbitrary argument vectors, in a fake world picked by the
// first input byte: with or without the driver library, with or without an
// installed (stopped or running) service, long or blank system directories, a
// read-only earlier copy, traces on. The process is never started by the
// service manager, so the service path returns after the dispatcher fails.
//
// Checked for every input: no misuse seen by the fake, every manager, service
// and search handle closed, the command path or the service path taken as the
// first argument says, the timeout in 250..3200 or 255, the pre-timeout the
// second argument's, and an installed image path that fits its buffer and
// runs the installed copy.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "cli/front_end.h"
#include "fake.h"
#include "service/trace.h"
#include "watchdog/commands.h"
#include "watchdog/pretimeout.h"

void reset_system_state();

namespace {

const char *const PROGRAM = "C:\\Tools\\vyriasrw.exe";
const size_t MAX_ARGUMENTS = 8;  // after the program path
const size_t PATH_BUFFER = 520;
const DWORD READ_ONLY = 0x01;  // FILE_ATTRIBUTE_READONLY

enum : uint8_t {
  NO_LIBRARY = 0x01,
  INSTALLED = 0x02,
  RUNNING = 0x04,
  TRACES = 0x08,
  SLOW_STOP = 0x10,
  BLANK_DIRECTORY = 0x20,
  LONG_DIRECTORY = 0x40,
  READ_ONLY_COPY = 0x80,
};

[[noreturn]] void fail_check(const char *what, const std::vector<std::string> &args) {
  fprintf(stderr, "fuzz_front_end: %s\n  arguments:", what);
  for (const std::string &a : args) {
    fprintf(stderr, " [");
    for (unsigned char c : a) fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
    fprintf(stderr, "]");
  }
  fprintf(stderr, "\n");
  for (const std::string &v : fake::violations()) fprintf(stderr, "  violation: %s\n", v.c_str());
  abort();
}

bool ascii_iequal(const std::string &a, const char *b) {
  if (a.size() != strlen(b)) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

// The command path is for "-" or "/" followed by a whole command word.
bool names_a_command(const std::vector<std::string> &args) {
  if (args.size() < 2 || args[1].empty() || (args[1][0] != '-' && args[1][0] != '/')) return false;
  std::string word = args[1].substr(1);
  return ascii_iequal(word, "install") || ascii_iequal(word, "remove") ||
         ascii_iequal(word, "terminate") || ascii_iequal(word, "query");
}

std::string system_directory_for(uint8_t world) {
  std::string directory = (world & BLANK_DIRECTORY) ? "C:\\Win Dir\\system32" : "C:\\windows\\system32";
  // Long enough that the destination, or the image path with a timeout
  // text, crowds the path buffers.
  if (world & LONG_DIRECTORY) directory += "\\" + std::string(480, 'd');
  return directory;
}

void set_up_world(uint8_t world, const std::string &destination) {
  fake::reset();
  reset_system_state();
  fake::set_started_by_scm(false);
  if (world & TRACES) trace_enabled = 1;
  if (world & NO_LIBRARY) fake::bmc().library_present = false;
  fake::set_system_directory(system_directory_for(world));
  if (world & READ_ONLY_COPY) {
    fake::File copy;
    copy.attributes = READ_ONLY;
    copy.content = "older vyriasrw program";
    fake::files()[destination] = copy;
  }
  if (world & INSTALLED) {
    fake::InstalledService s;
    s.display_name = "VYR Automatic Server Restart Service for IPMI";
    bool blank = destination.find(' ') != std::string::npos;
    s.image_path = (blank ? "\"" + destination + "\"" : destination) + " 300";
    s.service_type = 0x110;
    s.start_type = SERVICE_AUTO_START;
    s.error_control = SERVICE_ERROR_NORMAL;
    s.dependencies_empty = true;
    s.state = (world & RUNNING) ? SERVICE_RUNNING : SERVICE_STOPPED;
    // A service that never stops makes the stop wait run to its end.
    s.stop_pending_queries = (world & SLOW_STOP) ? 1000 : 2;
    fake::services()["vyrq4asr"] = s;
    if (fake::files().count(destination) == 0) fake::files()[destination] = fake::File{};
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The front end's messages are not looked at; /dev/null keeps runs fast.
  if (freopen("/dev/null", "w", stdout) == nullptr) perror("freopen");
  return 0;
}

// Input: one world byte, then the arguments separated by NULs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t world = data[0];
  std::vector<std::string> args{PROGRAM};
  if (size > 1) {
    const char *p = reinterpret_cast<const char *>(data + 1);
    const char *end = reinterpret_cast<const char *>(data + size);
    while (args.size() <= MAX_ARGUMENTS) {
      const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
      args.emplace_back(p, nul ? nul : end);
      if (!nul) break;
      p = nul + 1;
    }
  }

  const std::string directory = system_directory_for(world);
  const std::string destination = directory + "\\VYRIASRW.EXE";
  set_up_world(world, destination);

  // Each argument in a heap block of exactly its length and NUL.
  std::vector<char *> argv;
  for (const std::string &a : args) {
    char *copy = static_cast<char *>(malloc(a.size() + 1));
    memcpy(copy, a.c_str(), a.size() + 1);
    argv.push_back(copy);
  }
  argv.push_back(nullptr);

  int status = front_end(static_cast<int>(args.size()), argv.data());

  if (!fake::violations().empty()) fail_check("the fake saw a misuse", args);
  if (fake::open_handles("scm") != 0 || fake::open_handles("service") != 0 ||
      fake::open_handles("find") != 0)
    fail_check("a handle was left open", args);

  if (names_a_command(args)) {
    if (status != 0) fail_check("a command ended with a non-zero status", args);
    if (!fake::journal("StartServiceCtrlDispatcherA").empty())
      fail_check("a command went on to the dispatcher", args);
  } else {
    if (fake::journal("StartServiceCtrlDispatcherA").size() != 1)
      fail_check("the service path did not call the dispatcher once", args);
    std::vector<fake::Event> events = fake::events();
    if (events.size() != 1 || events[0].strings.size() != 2 ||
        events[0].strings[1] != "StartServiceCtrlDispatcher failed.")
      fail_check("the dispatcher's failure was not logged once", args);
    if (timeout_seconds != 255 && (timeout_seconds < 250 || timeout_seconds > 3200))
      fail_check("a timeout outside 250..3200 that is not 255", args);
    if (timeout_seconds != timeout_from_argument(args.size() > 1 ? argv[1] : nullptr))
      fail_check("the timeout is not the first argument's", args);
    if (args.size() > 2 && pretimeout_requested != (uint16_t)decimal_to_int32(argv[2]))
      fail_check("the pre-timeout is not the second argument's low 16 bits", args);
  }

  auto installed = fake::services().find("vyrq4asr");
  if (installed != fake::services().end()) {
    const std::string &image = installed->second.image_path;
    if (image.size() >= PATH_BUFFER) fail_check("an image path longer than its buffer", args);
    const std::string quoted = "\"" + destination + "\"";
    bool blank = destination.find(' ') != std::string::npos;
    const std::string &program = blank ? quoted : destination;
    if (image.compare(0, program.size(), program) != 0 ||
        (image.size() > program.size() && image[program.size()] != ' '))
      fail_check("an image path that does not run the installed copy", args);
  }

  fake::end_process();
  for (char *a : argv) free(a);
  return 0;
}
