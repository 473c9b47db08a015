// Helpers for tests that run the whole service as the service manager would.
#pragma once

#include <string>
#include <vector>

#include "service/service_main.h"
#include "world.h"

// Runs the dispatcher with the service's table on the test's thread, which
// plays the process's main thread; returns when the service has stopped.
inline void run_service_process() {
  static char name[] = "vyrq4asr";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  ASSERT_TRUE(StartServiceCtrlDispatcherA(table)) << "dispatcher failed: " << GetLastError();
}

inline const char *state_name(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
  }
  return "?";
}

// Each accepted status report as "STATE cp=N hint=N accept=0xN exit=0xN".
inline std::vector<std::string> reports() {
  std::vector<std::string> out;
  char line[160];
  for (const SERVICE_STATUS &s : fake::status_reports()) {
    EXPECT_EQ(s.dwServiceType, 0x10u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    snprintf(line, sizeof line, "%s cp=%u hint=%u accept=0x%x exit=0x%x",
             state_name(s.dwCurrentState), s.dwCheckPoint, s.dwWaitHint, s.dwControlsAccepted,
             s.dwWin32ExitCode);
    out.push_back(line);
  }
  return out;
}

// Commands of the IPMI requests that reached the library, e.g. "Get", "Set 44".
inline std::vector<std::string> ipmi_commands() {
  std::vector<std::string> out;
  for (const fake::IpmiRequest &r : fake::ipmi_requests()) {
    switch (r.command) {
      case 0x22:
        out.push_back("Reset");
        break;
      case 0x24:
        out.push_back(r.data.size() == 6 && r.data[0] == 0x44 ? "Enable" : "Disable");
        break;
      case 0x25:
        out.push_back("Get");
        break;
      default:
        out.push_back("cmd " + std::to_string(r.command));
    }
  }
  return out;
}

// Virtual times of the requests with this IPMI command.
inline std::vector<uint64_t> request_times(BYTE command) {
  std::vector<uint64_t> out;
  for (const fake::IpmiRequest &r : fake::ipmi_requests())
    if (r.command == command) out.push_back(r.at_ms);
  return out;
}

// Index of the first journal line starting with prefix, or -1.
inline int journal_index(const std::vector<std::string> &journal, const std::string &prefix,
                         size_t from = 0) {
  for (size_t i = from; i < journal.size(); i++)
    if (journal[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  return -1;
}

// The exit code of the named fake thread, or -2 when it has not exited.
inline int64_t exit_code_of(const std::string &name) {
  for (const fake::ThreadExit &e : fake::thread_exits())
    if (e.name == name) return e.exit_code;
  return -2;
}

// Whether the lines appear in the journal in this order (others may come between).
inline ::testing::AssertionResult in_order(const std::vector<std::string> &journal,
                                           const std::vector<std::string> &lines) {
  size_t at = 0;
  for (const auto &line : lines) {
    while (at < journal.size() && journal[at] != line) at++;
    if (at == journal.size())
      return ::testing::AssertionFailure() << "expected, in order, the line \"" << line << "\"";
    at++;
  }
  return ::testing::AssertionSuccess();
}

// A world whose test runs the service to its end; report_times holds the
// virtual time of every SetServiceStatus call.
class ServiceRunWorld : public World {
 protected:
  std::vector<uint64_t> report_times;
  void SetUp() override {
    World::SetUp();
    fake::before("SetServiceStatus", 0, [this] { report_times.push_back(fake::now()); });
  }
  // Runs the service to its end, lets the worker finish its last steps (it
  // may still be returning when STOPPED is reported), then ends the process.
  void run() {
    run_service_process();
    fake::wait_for_threads();
    fake::end_process();
  }
  uint64_t stopped_at() { return report_times.empty() ? 0 : report_times.back(); }
};
