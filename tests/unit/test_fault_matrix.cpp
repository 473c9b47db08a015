// Every platform call and driver-library call the system makes, failed in
// turn, and the driver's replies varied. Each row states the outcome the
// system must reach; the test runs it, checks it, and writes the table of
// what it saw to fault_matrix.md in its working directory.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli_run.h"
#include "health_script.h"
#include "ipmi/ipmi.h"
#include "service_run.h"
#include "watchdog/commands.h"
#include "watchdog/session.h"
#include "watchdog/shutdown.h"
#include "watchdog/timer_record.h"

namespace {

// What a row may state beyond its outcome: one observation of the run and
// the value it must have. A row's unstated facts go unchecked.
struct Fact {
  std::string name;
  std::function<std::string(const std::string &output)> observe;  // a command's output
  std::string expected;
};

uint64_t last_report_ms = 0;  // when the service's last status report came

std::string joined(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &item : items) out += (out.empty() ? "" : " ") + item;
  return out;
}

Fact number_fact(const std::string &name, std::function<long long()> observe, long long expected) {
  return {name, [observe](const std::string &) { return std::to_string(observe()); },
          std::to_string(expected)};
}

std::string without_prompt(const std::string &out) {
  const std::string prompt = "Press any key to continue.\n";
  bool prompted = out.size() >= prompt.size() &&
                  out.compare(out.size() - prompt.size(), prompt.size(), prompt) == 0;
  return prompted ? out.substr(0, out.size() - prompt.size()) : out;
}

// The first string of the first event entry.
Fact first_string(const std::string &expected) {
  return {"first string",
          [](const std::string &) {
            auto events = fake::events();
            return events.empty() || events[0].strings.empty() ? std::string("(no entry)")
                                                               : events[0].strings[0];
          },
          expected};
}
// The IPMI requests that reached the library, e.g. "Get Enable".
Fact requests(const std::string &expected) {
  return {"requests", [](const std::string &) { return joined(ipmi_commands()); }, expected};
}
// The states of the accepted status reports, in order.
Fact states(const std::string &expected) {
  return {"states",
          [](const std::string &) {
            std::vector<std::string> names;
            for (const SERVICE_STATUS &s : fake::status_reports())
              names.push_back(state_name(s.dwCurrentState));
            return joined(names);
          },
          expected};
}
Fact calls(const char *call, long long expected) {
  return number_fact(
      std::string(call) + " calls",
      [call] { return static_cast<long long>(fake::journal(call).size()); }, expected);
}
Fact library_refcount(int expected) {
  return number_fact(
      "library refcount", [] { return fake::library_refcount(); }, expected);
}
Fact open_handles(const char *kind, int expected) {
  return number_fact(
      std::string("open ") + kind + " handles", [kind] { return fake::open_handles(kind); },
      expected);
}
Fact stopped_at(uint64_t ms) {
  return number_fact(
      "STOPPED at ms", [] { return static_cast<long long>(last_report_ms); },
      static_cast<long long>(ms));
}
Fact saved_error_is(DWORD expected) {
  return number_fact(
      "saved_error", [] { return saved_error; }, expected);
}
// A command's whole output, without the key prompt.
Fact output(const std::string &expected) { return {"output", without_prompt, expected}; }

// A worker that failed at start: the run routine waited its 2 s for it, and
// the worker's thread, priority, handles and session are all given back.
std::vector<Fact> worker_failed(std::vector<Fact> more) {
  std::vector<Fact> facts = {
      states("START_PENDING START_PENDING START_PENDING RUNNING STOP_PENDING STOPPED"),
      stopped_at(2000),
      number_fact(
          "worker's exit code", [] { return exit_code_of("thread1"); }, 0xFFFFFFFF),
      number_fact(
          "priority class", [] { return static_cast<long long>(fake::priority_class()); },
          NORMAL_PRIORITY_CLASS),
      open_handles("event", 0),
      open_handles("eventsource", 0),
      number_fact(
          "session", [] { return static_cast<long long>(watchdog_session.load()); }, 0)};
  facts.insert(facts.end(), more.begin(), more.end());
  return facts;
}

// Checks the row's facts; returns them as the table shows them, "" if none.
std::string check_facts(const std::string &fault, const std::vector<Fact> &facts,
                        const std::string &output_text, bool *ok) {
  std::string cells;
  for (const Fact &f : facts) {
    std::string got = f.observe(output_text);
    EXPECT_EQ(got, f.expected) << fault << ": " << f.name;
    if (got != f.expected) *ok = false;
    cells += (cells.empty() ? "" : "; ") + f.name + " " + got;
  }
  return cells;
}

struct Outcome {
  std::string final_state;  // e.g. "STOPPED 0x0", or "no report"
  std::string event;        // the events' second strings, or ""
  std::string timer;        // "stopped", "running" or "never set"
};

struct ServiceRow {
  std::string fault;  // what was made to fail, as the table shows it
  std::function<void()> inject;
  Outcome expected;
  std::vector<Fact> also = {};
};

const char *kStopError = "STOPPED 0xe0010002";
const char *kClean = "STOPPED 0x0";

// The timer as the service's enable for 255 s leaves it, running; with the
// record the service writes (at virtual time 0) when reason is given.
void timer_left_running(int reason) {
  fake::bmc().watchdog.start_running(ipmi::kUseSmsOs, ipmi::kActionHardReset, 2550, 0);
  const BYTE enable[] = {0x44, 0x01, 0x00, 0x10, 0xF6, 0x09};
  if (reason != 0) timer_record_write(enable, static_cast<TimerRecordReason>(reason));
}

void preshutdown_at(uint64_t ms) { fake::send_control(ms, SERVICE_CONTROL_PRESHUTDOWN, 0); }

void fail(const char *call, int nth, DWORD error) { fake::fail(call, nth, error); }

Outcome run_service_row(const ServiceRow &row) {
  fake::reset();
  reset_system_state();
  fake::before("SetServiceStatus", 0, [] { last_report_ms = fake::now(); });
  row.inject();
  fake::send_control(30050, SERVICE_CONTROL_STOP, 0);
  // A second stop, as an administrator would send after a lost one; the
  // manager passes it on only to a service not yet STOP_PENDING.
  fake::send_control(60050, SERVICE_CONTROL_STOP, 0);
  run_service_process();
  fake::end_process();
  EXPECT_THAT(fake::violations(), ::testing::IsEmpty()) << row.fault;

  Outcome o;
  auto reports = fake::status_reports();
  if (reports.empty()) {
    o.final_state = "no report";
  } else {
    char text[64];
    snprintf(text, sizeof text, "%s 0x%x", state_name(reports.back().dwCurrentState),
             reports.back().dwWin32ExitCode);
    o.final_state = text;
  }
  for (const fake::Event &e : fake::events()) {
    if (!o.event.empty()) o.event += " / ";
    o.event += e.strings.size() == 2 ? e.strings[1] : "(malformed entry)";
  }
  const bmcsim::Watchdog &w = fake::bmc().watchdog;
  o.timer = !w.initialised() ? "never set" : w.running() ? "running" : "stopped";
  return o;
}

std::vector<ServiceRow> service_rows() {
  const std::string open_failed = "VYR IPMI ASR exiting; OpenQD4Driver failed.";
  const std::string not_available = "VYR IPMI ASR exiting; timer is not available.";
  const std::string enable_failed = "VYR IPMI ASR exiting; timer enable failed.";
  const std::string disable_failed = "VYR IPMI ASR exiting; timer disable failed.";
  const std::string not_loaded = "VYR IPMI ASR exiting; vyrqd4w.dll could not be loaded.";
  // A failed reset rides through: one warning, then one information entry
  // at the next reset taken a second later.
  const std::string no_reply_once =
      "VYR IPMI ASR: timer reset failed (no reply, library status 5); retrying once a second. / "
      "VYR IPMI ASR: timer resets succeed again after 1.0 s; the timer kept its settings.";
  auto left_for_shutdown = [](const char *seconds) {
    return std::string("VYR IPMI ASR: Windows is shutting down; the timer is left armed with ") +
           seconds + " s for the shutdown and the restart (ShutdownAllowance).";
  };
  const std::string taken_back = " The service takes it back.";
  const std::string parameters = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\vyrq4asr\\Parameters";
  const std::string in_force =
      "VYR IPMI ASR: health checks in force, every 30 s from 0 s after the start, withholding the "
      "resets after 180 s of failure without a pass: ";
  std::vector<ServiceRow> rows = {
      {"none", [] {}, {kClean, "", "stopped"}},
      // The service's own timer, and another agent's set the same way.
      {"the service's own timer left running by a crash",
       [] { timer_left_running(kArmedWhileRunning); },
       {kClean,
        "VYR IPMI ASR: the service's own timer was still running: the service had ended without "
        "disarming it (its process crashed or was ended)." +
            taken_back,
        "stopped"}},
      {"the service's own timer left for a shutdown",
       [] { timer_left_running(kLeftForShutdown); },
       {kClean,
        "VYR IPMI ASR: the service's own timer was still running: it was left armed for a "
        "shutdown at 2026-12-01 00:00:00 UTC." +
            taken_back,
        "stopped"}},
      // Restarted into a BMC out of reach: its own timer is worth the wait.
      {"the service's own timer left running, the start's Get unanswered for 20 s",
       [] {
         timer_left_running(kArmedWhileRunning);
         fake::script_outage(0, 20000, 5, 0, false);
       },
       {kClean,
        "VYR IPMI ASR: the service's own timer was still running: the service had ended without "
        "disarming it (its process crashed or was ended)." +
            taken_back,
        "stopped"}},
      {"a timer set as the service's own, with no record (another agent's)",
       [] { timer_left_running(0); },
       {kStopError, not_available, "running"}},
      // A preshutdown leaves the timer armed with the allowance.
      {"a preshutdown",
       [] { preshutdown_at(20050); },
       {kClean, left_for_shutdown("600"), "running"}},
      {"a preshutdown, its Set answered C0h five times",
       [] {
         preshutdown_at(20050);
         for (int n = 2; n <= 6; n++) fake::script_reply(0x24, n, 0, 0xC0);
       },
       {kClean, left_for_shutdown("600"), "running"}},
      {"a preshutdown, its Set answered C0h throughout",
       [] {
         preshutdown_at(20050);
         for (int n = 2; n <= 100; n++) fake::script_reply(0x24, n, 0, 0xC0);
       },
       {"STOPPED 0x45d",
        "VYR IPMI ASR: Windows is shutting down, and the BMC refused the timer's setting for the "
        "shutdown; the timer runs on with its timeout and may reset the server before it has "
        "restarted.",
        "running"}},
      {"a preshutdown with ShutdownAllowance 900",
       [] {
         fake::set_registry_dword(PARAMETERS_KEY, "ShutdownAllowance", 900);
         preshutdown_at(20050);
       },
       {kClean, left_for_shutdown("900"), "running"}},
      {"a preshutdown with ShutdownAllowance 100, below the timeout",
       [] {
         fake::set_registry_dword(PARAMETERS_KEY, "ShutdownAllowance", 100);
         preshutdown_at(20050);
       },
       {kClean,
        "VYR IPMI ASR: ShutdownAllowance under "
        "HKLM\\SYSTEM\\CurrentControlSet\\Services\\vyrq4asr\\Parameters is 100 s, outside "
        "255..6553 s for the 255 s timeout; a shutdown leaves the timer 600 s. / " +
            left_for_shutdown("600"),
        "running"}},
      // Opt-in health checks: a setting mistake turns its check off with an
      // error entry and never withholds a reset.
      {"health: HealthCommand passing",
       [] { health_script::install(); },
       {kClean, in_force + "HealthCommand C:\\tools\\check.cmd (within 60 s).", "stopped"}},
      {"health: HealthInterval 5, below its range",
       [] {
         health_script::install();
         health_script::set_number(kInterval, 5);
       },
       {"STOPPED 0x57",
        "VYR IPMI ASR: HealthInterval under " + parameters +
            " is 5, outside 10..3600 s; every health check is off.",
        "stopped"}},
      {"health: HealthReportOnly as a REG_SZ",
       [] {
         health_script::install();
         health_script::set_text("HealthReportOnly", "1");
       },
       {"STOPPED 0x57",
        "VYR IPMI ASR: HealthReportOnly under " + parameters +
            " is not a REG_DWORD of 0..1; every health check is off.",
        "stopped"}},
      {"health: HealthCommand naming no full path",
       [] { health_script::install("check.cmd"); },
       {"STOPPED 0x57",
        "VYR IPMI ASR: HealthCommand under " + parameters +
            " (check.cmd) does not name its program by a full path, quoted when it has spaces; "
            "it is not run.",
        "stopped"}},
      {"health: HealthCommand that cannot start",
       [] {
         health_script::install();
         health_script::script().command = {{0, 3600000, health_script::kCannotStart}};
       },
       {"STOPPED 0x57",
        in_force + "HealthCommand C:\\tools\\check.cmd (within 60 s). / VYR IPMI ASR: the health "
                   "check HealthCommand cannot start (file not found); that check is off.",
        "stopped"}},
      {"health: HealthCommand naming a file that users may change",
       [] {
         health_script::install();
         health_script::script().command = {{0, 3600000, health_script::kUnsafe}};
       },
       {"STOPPED 0x5",
        in_force +
            "HealthCommand C:\\tools\\check.cmd (within 60 s). / VYR IPMI ASR: HealthCommand "
            "is not run this time: C:\\tools\\check.cmd: BUILTIN\\Users may change it. A "
            "program run as LocalSystem, and every folder above it, must be changeable by "
            "administrators and SYSTEM only.",
        "stopped"}},
      {"health: HealthFolder that has never passed",
       [] {
         health_script::install(nullptr);
         health_script::set_text(HEALTH_FOLDER_VALUE, "D:\\data;data2");
         health_script::script().folder = {{0, 3600000, health_script::kFail}};
       },
       {"STOPPED 0x57",
        "VYR IPMI ASR: HealthFolder names \"data2\", which is not a full path; it is not "
        "checked. / " +
            in_force +
            "HealthFolder D:\\data (written within 60 s). / VYR IPMI ASR: the health check "
            "HealthFolder D:\\data has never passed since the folder was set (the write failed: "
            "error 21): taken for a setting mistake, that check is off.",
        "stopped"}},
      {"RegisterServiceCtrlHandlerExA #1 (1060)",
       [] { fail("RegisterServiceCtrlHandlerExA", 1, 1060); },
       {"no report", "", "never set"}},
      // A failed start report ends the run before the worker.
      {"SetServiceStatus #1, first START_PENDING (87)",
       [] { fail("SetServiceStatus", 1, 87); },
       {kStopError, "SetServiceStatus", "never set"},
       {states("STOPPED"), calls("CreateThread", 0), first_string("vyrq4asr error: 87")}},
      {"SetServiceStatus #2, START_PENDING (87)",
       [] { fail("SetServiceStatus", 2, 87); },
       {kStopError, "SetServiceStatus", "never set"},
       {states("START_PENDING STOPPED"), calls("CreateThread", 0), open_handles("event", 0)}},
      {"SetServiceStatus #3, START_PENDING (87)",
       [] { fail("SetServiceStatus", 3, 87); },
       {kStopError, "SetServiceStatus", "never set"},
       {states("START_PENDING START_PENDING STOPPED"), calls("CreateThread", 0),
        open_handles("event", 0)}},
      {"SetServiceStatus #4, RUNNING (87)",
       [] { fail("SetServiceStatus", 4, 87); },
       {kStopError, "SetServiceStatus", "never set"},
       {states("START_PENDING START_PENDING START_PENDING STOPPED"), calls("CreateThread", 0),
        open_handles("event", 0)}},
      // The event's last error becomes the exit code of an orderly stop.
      {"SetServiceStatus #5, the stop's STOP_PENDING (87)",
       [] { fail("SetServiceStatus", 5, 87); },
       {"STOPPED 0x57", "SetServiceStatus", "stopped"}},
      {"SetServiceStatus #6, the worker's STOP_PENDING (87)",
       [] { fail("SetServiceStatus", 6, 87); },
       {"STOPPED 0x57", "SetServiceStatus", "stopped"}},
      {"SetServiceStatus #7, STOPPED (87)",
       [] { fail("SetServiceStatus", 7, 87); },
       {"STOP_PENDING 0x0", "SetServiceStatus", "stopped"}},
      {"CreateEventA #1 (8)",
       [] { fail("CreateEventA", 1, 8); },
       {kStopError, "", "never set"},
       {states("START_PENDING START_PENDING STOPPED"), calls("CreateThread", 0)}},
      // No worker: the service waits for the stop at 30 s, then 2 s for the worker.
      {"CreateThread #1 (8)",
       [] { fail("CreateThread", 1, 8); },
       {kStopError, "", "never set"},
       {states("START_PENDING START_PENDING START_PENDING RUNNING STOP_PENDING STOPPED"),
        stopped_at(32050), open_handles("event", 0)}},
      {"WaitForSingleObject #1 (6)",
       [] { fail("WaitForSingleObject", 1, 6); },
       {kClean, "", "stopped"}},
      // The manager refuses the second stop to a STOP_PENDING service, so
      // the service feeds on until its worker ends on its own: every reset
      // from 70.7 s on is answered busy, and half the timeout later it gives up.
      {"SetEvent #1, the stop's signal (6)",
       [] {
         fail("SetEvent", 1, 6);
         for (int n = 8; n < 200; n++) fake::script_reply(0x22, n, 0, 0xC0);
       },
       {kStopError,
        "VYR IPMI ASR: timer reset failed (completion code C0h); retrying once a second. / "
        "VYR IPMI ASR exiting; timer reset failed.",
        "stopped"}},
      {"CloseHandle #1, the thread (6)",
       [] { fail("CloseHandle", 1, 6); },
       {kClean, "", "stopped"}},
      {"CloseHandle #2, the stop event (6)",
       [] { fail("CloseHandle", 2, 6); },
       {kClean, "", "stopped"}},
      {"SetPriorityClass #1, real-time (5)",
       [] { fail("SetPriorityClass", 1, 5); },
       {kClean, "", "stopped"}},
      {"SetPriorityClass #2, normal (5)",
       [] { fail("SetPriorityClass", 2, 5); },
       {kClean, "", "stopped"}},
      {"LoadLibraryExA #1 (126)",
       [] { fail("LoadLibraryExA", 1, 126); },
       {"STOPPED 0x7e", not_loaded, "never set"}},
      {"GetSystemDirectoryA #1, the library's folder (5)",
       [] { fail("GetSystemDirectoryA", 1, 5); },
       {"STOPPED 0x5", not_loaded, "never set"}},
      // No search flags: the full path by LoadLibraryA.
      {"GetProcAddress #1, kernel32's SetDefaultDllDirectories (127)",
       [] { fail("GetProcAddress", 1, 127); },
       {kClean, "", "stopped"}},
      {"GetProcAddress #2, OpenQD4Driver (127)",
       [] { fail("GetProcAddress", 2, 127); },
       {kStopError, open_failed, "never set"},
       worker_failed({requests("")})},
      {"GetProcAddress #3, CloseQD4Driver (127)",
       [] { fail("GetProcAddress", 3, 127); },
       {kClean, "", "stopped"},
       {calls("CloseQD4Driver", 0), library_refcount(0)}},
      {"GetProcAddress #4, SendQD4Request (127)",
       [] { fail("GetProcAddress", 4, 127); },
       {kStopError, not_available, "never set"},
       worker_failed({first_string("vyrq4asr error: 127"), requests("")})},
      {"GetProcAddress #5, GetQD4Version (127)",
       [] { fail("GetProcAddress", 5, 127); },
       {kClean, "", "stopped"}},
      {"FreeLibrary #1 (6)", [] { fail("FreeLibrary", 1, 6); }, {kClean, "", "stopped"}},
      {"OpenQD4Driver #1 (status 5)",
       [] { fail("OpenQD4Driver", 1, 5); },
       {kStopError, open_failed, "never set"}},
      // The library's last error is logged; no session was opened, so the
      // library stays loaded.
      {"OpenQD4Driver every call (status 1167, its last error)",
       [] { fake::bmc().open_status = 1167; },
       {kStopError, open_failed, "never set"},
       worker_failed({first_string("vyrq4asr error: 1167"), requests(""), library_refcount(1)})},
      {"CloseQD4Driver #1 (status 31)",
       [] { fail("CloseQD4Driver", 1, 31); },
       {kClean, "", "stopped"},
       {library_refcount(0)}},
      {"SendQD4Request #1, Get (status 5)",
       [] { fail("SendQD4Request", 1, 5); },
       {kStopError, not_available, "never set"}},
      {"SendQD4Request #2, enable (status 5)",
       [] { fail("SendQD4Request", 2, 5); },
       {kStopError, enable_failed, "never set"}},
      {"SendQD4Request #3, first reset (status 5)",
       [] { fail("SendQD4Request", 3, 5); },
       {kClean, no_reply_once, "stopped"}},
      {"SendQD4Request #5, third reset (status 5)",
       [] { fail("SendQD4Request", 5, 5); },
       {kClean, no_reply_once, "stopped"}},
      // The stop at 30 s comes within the ride-through's 125 s.
      {"every reset answered with cc C0h",
       [] { fake::script_reply(0x22, 0, 0, 0xC0); },
       {kClean, "VYR IPMI ASR: timer reset failed (completion code C0h); retrying once a second.",
        "stopped"}},
      {"SendQD4Request #6, the stop's disable, once (status 5)",
       [] { fail("SendQD4Request", 6, 5); },
       {kClean, "", "stopped"}},
      {"SendQD4Request #6..#8, the stop's disable and two retries (status 5)",
       [] {
         for (int n : {6, 7, 8}) fail("SendQD4Request", n, 5);
       },
       {kClean, "", "stopped"}},
      {"SendQD4Request #6.., the stop's disable and its retries for 10 s (status 5)",
       [] {
         for (int n = 6; n < 100; n++) fail("SendQD4Request", n, 5);
       },
       {"STOPPED 0x5b4", disable_failed, "running"}},
      {"SendQD4Request, every call (status 5)",
       [] { fail("SendQD4Request", 0, 5); },
       {kStopError, not_available, "never set"}},
      // Power events: the handler's own commands refused.
      {"SendQD4Request #5..#7, the suspend's disable and its retries (status 5)",
       [] {
         fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
         for (int n : {5, 6, 7}) fail("SendQD4Request", n, 5);
       },
       {"STOPPED 0x5b4", "VYR IPMI ASR: timer disable failed at a suspend; the timer stays armed.",
        "stopped"}},
      // Mended: the resume armed the timer again and the stop disarmed it.
      {"SendQD4Request #5..#7, the suspend's disable, then the resume (status 5)",
       [] {
         fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
         fake::send_control(20050, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
         for (int n : {5, 6, 7}) fail("SendQD4Request", n, 5);
       },
       {kClean, "VYR IPMI ASR: timer disable failed at a suspend; the timer stays armed.",
        "stopped"}},
      {"SendQD4Request #6, the resume's enable (status 5)",
       [] {
         fake::send_control(15050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
         fake::send_control(20050, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
         fail("SendQD4Request", 6, 5);
       },
       {kClean, "", "stopped"}},
      // The start rides a busy BMC through for 10 s, and no longer.
      {"every Get answered with cc C0h",
       [] { fake::script_reply(0x25, 0, 0, 0xC0); },
       {kStopError, not_available, "never set"}},
      {"the Get and the enable answered with cc D2h, three times each",
       [] {
         for (int n : {1, 2, 3}) fake::script_reply(0x25, n, 0, 0xD2);
         for (int n : {1, 2, 3}) fake::script_reply(0x24, n, 0, 0xD2);
       },
       {kClean, "", "stopped"}},
      // Too short for the running bit: not a free timer.
      {"Get replies with no data (cc 0)",
       [] { fake::script_reply(0x25, 1, 0, 0x00); },
       {kStopError, not_available, "never set"}},
      {"Get replies with six data bytes, as ipmi_sim (cc 0)",
       [] { fake::limit_reply_length(0x25, 6); },
       {kClean, "", "stopped"}},
      {"RegisterEventSourceA #1, with the open failing (5)",
       [] {
         fake::bmc().open_status = 1;
         fail("RegisterEventSourceA", 1, 5);
       },
       {kStopError, "", "never set"}},
      {"ReportEventA #1, with the open failing (5)",
       [] {
         fake::bmc().open_status = 1;
         fail("ReportEventA", 1, 5);
       },
       {kStopError, "", "never set"}},
      {"DeregisterEventSource #1, with the open failing (6)",
       [] {
         fake::bmc().open_status = 1;
         fail("DeregisterEventSource", 1, 6);
       },
       {kStopError, open_failed, "never set"}},
  };
  // Each completion-code class, on the Get, the enable and the first reset.
  // A busy or transient answer at start is tried again.
  const BYTE codes[] = {0xC0, 0xC1, 0xC3, 0xC7, 0xCC, 0xD4, 0xD5, 0xFF, 0x80};
  for (BYTE cc : codes) {
    char name[80];
    bool transient = ipmi::is_transient(cc);
    snprintf(name, sizeof name, "Get answered with cc %02Xh", cc);
    // A refused Get counts as another agent's timer: no enable follows.
    rows.push_back({name, [cc] { fake::script_reply(0x25, 1, 0, cc); },
                    transient ? Outcome{kClean, "", "stopped"}
                              : Outcome{kStopError, not_available, "never set"},
                    transient
                        ? std::vector<Fact>{}
                        : worker_failed({first_string("vyrq4asr error: 0"), requests("Get")})});
    snprintf(name, sizeof name, "enable answered with cc %02Xh", cc);
    // A refused request carries ERROR_IO_DEVICE; the session is closed.
    rows.push_back(
        {name, [cc] { fake::script_reply(0x24, 1, 0, cc); },
         transient ? Outcome{kClean, "", "stopped"}
                   : Outcome{kStopError, enable_failed, "never set"},
         transient ? std::vector<Fact>{}
                   : worker_failed({first_string("vyrq4asr error: 1117"), requests("Get Enable"),
                                    calls("CloseQD4Driver", 1), library_refcount(0)})});
    snprintf(name, sizeof name, "first reset answered with cc %02Xh", cc);
    char events[400];
    if (cc == 0x80)
      snprintf(events, sizeof events,
               "VYR IPMI ASR: the BMC has lost the watchdog settings (completion code 80h); arming "
               "the timer again. / VYR IPMI ASR: timer resets succeed again after 0.0 s; the "
               "timer was armed again.");
    else
      snprintf(events, sizeof events,
               "VYR IPMI ASR: timer reset failed (completion code %02Xh); retrying once a second. "
               "/ VYR IPMI ASR: timer resets succeed again after 1.0 s; the timer kept its "
               "settings.",
               cc);
    rows.push_back(
        {name, [cc] { fake::script_reply(0x22, 1, 0, cc); }, {kClean, events, "stopped"}});
  }
  return rows;
}

struct CommandRow {
  std::string fault;
  std::vector<std::string> args;  // after the program path
  bool running_installation;      // an installed, running service beforehand
  std::function<void()> inject;
  std::string expected_last_line;
  int handles_left = 0;  // manager and service handles a failed close leaves open
  std::vector<Fact> also = {};
};

std::vector<CommandRow> command_rows() {
  const std::string unable = "Unable to install " DISPLAY " - ";
  // After a refusal for want of the library: the copy that makes it load.
  const std::string copy =
      "Copy the BMC maker's 32-bit vyrqd4w.dll there first: copy vyrqd4w.dll "
      "\"C:\\windows\\system32\\vyrqd4w.dll\"";
  return {
      {"none", {"-install", "300"}, true, [] {}, DISPLAY " installed and started."},
      {"LoadLibraryExA #1 (126)",
       {"-install"},
       false,
       [] { fail("LoadLibraryExA", 1, 126); },
       copy},
      {"GetModuleFileNameA #1 (87)",
       {"-install"},
       false,
       [] { fail("GetModuleFileNameA", 1, 87); },
       unable + "The parameter is incorrect. (0x57)"},
      {"GetSystemDirectoryA #1, the probe's (5)",
       {"-install"},
       false,
       [] { fail("GetSystemDirectoryA", 1, 5); },
       copy},
      {"GetSystemDirectoryA #2, the destination's (5)",
       {"-install"},
       false,
       [] { fail("GetSystemDirectoryA", 2, 5); },
       unable + "Access is denied. (0x5)"},
      {"FindFirstFileA #1 (2)", {"-install"}, false, [] { fail("FindFirstFileA", 1, 2); }, ""},
      {"SetFileAttributesA #1 (2)",
       {"-install"},
       false,
       [] { fail("SetFileAttributesA", 1, 2); },
       DISPLAY " installed and started."},
      {"CopyFileA #1 (5)",
       {"-install"},
       false,
       [] { fail("CopyFileA", 1, 5); },
       unable + "Access is denied. (0x5)",
       0,
       {output(unable + "Access is denied. (0x5)\n"), calls("CopyFileA", 1),
        calls("CreateServiceA", 0)}},
      // A lock violation is tried once more, after removing a service that is not there.
      {"CopyFileA every call (33)",
       {"-install"},
       false,
       [] { fail("CopyFileA", 0, 33); },
       unable + "The process cannot access the file because another process has locked a "
                "portion of the file. (0x21)",
       0,
       {output("Removing existing version of service\nOpenService failed - The specified service "
               "does not exist as an installed service. (0x424)\n" +
               unable +
               "The process cannot access the file because another process has locked a "
               "portion of the file. (0x21)\n"),
        calls("CopyFileA", 2)}},
      {"CopyFileA #1, quiet (5)",
       {"-install", "-n"},
       false,
       [] { fail("CopyFileA", 1, 5); },
       "",
       0,
       {output(""), saved_error_is(5)}},
      {"CopyFileA #2, after the removal (32)",
       {"-install"},
       true,
       [] { fail("CopyFileA", 2, 32); },
       unable + "The process cannot access the file because it is being used by another process. "
                "(0x20)"},
      {"OpenSCManagerA #1 (5)",
       {"-install"},
       false,
       [] { fail("OpenSCManagerA", 1, 5); },
       "OpenSCManager failed - Access is denied. (0x5)",
       0,
       {calls("CreateServiceA", 0)}},
      {"CreateServiceA #1 (5)",
       {"-install"},
       false,
       [] { fail("CreateServiceA", 1, 5); },
       "CreateService failed - Access is denied. (0x5)",
       0,
       {output("CreateService failed - Access is denied. (0x5)\n"),
        calls("CloseServiceHandle", 1)}},
      // Over a stopped installation: removed, then the create is not tried a third time.
      {"CreateServiceA #2, after the removal (1073)",
       {"-install"},
       true,
       [] {
         fake::services()["vyrq4asr"].state = SERVICE_STOPPED;
         fail("CreateServiceA", 2, 1073);
       },
       "CreateService failed - The specified service already exists. (0x431)",
       0,
       {output("Removing existing version of service\n" DISPLAY
               " removed.\nCreateService failed - The specified service already exists. "
               "(0x431)\n"),
        calls("CreateServiceA", 2)}},
      {"ChangeServiceConfig2A #1, the description (5)",
       {"-install"},
       false,
       [] { fail("ChangeServiceConfig2A", 1, 5); },
       DISPLAY " installed and started."},
      {"StartServiceA #1 (1053)",
       {"-install"},
       false,
       [] { fail("StartServiceA", 1, 1053); },
       "StartService failed - The service did not respond to the start or control request in a "
       "timely fashion. (0x41d)",
       0,
       {output(DISPLAY " installed and started.\nStartService failed - The service did not "
                       "respond to the start or control request in a timely fashion. (0x41d)\n"),
        saved_error_is(1053)}},
      {"OpenSCManagerA every call, remove (5)",
       {"-remove"},
       true,
       [] { fail("OpenSCManagerA", 0, 5); },
       "OpenSCManager failed - Access is denied. (0x5)",
       0,
       {calls("OpenServiceA", 0)}},
      {"OpenSCManagerA every call, query (5)",
       {"-query"},
       true,
       [] { fail("OpenSCManagerA", 0, 5); },
       "OpenSCManager failed - Access is denied. (0x5)",
       0,
       {calls("OpenServiceA", 0)}},
      {"OpenServiceA #1, remove (5)",
       {"-remove"},
       true,
       [] { fail("OpenServiceA", 1, 5); },
       "OpenService failed - Access is denied. (0x5)"},
      {"ControlService #1, remove (1061)",
       {"-remove"},
       true,
       [] { fail("ControlService", 1, 1061); },
       DISPLAY " removed."},
      {"QueryServiceStatus #1, remove (6)",
       {"-remove"},
       true,
       [] { fail("QueryServiceStatus", 1, 6); },
       "Stopping " DISPLAY "." DISPLAY " removed."},
      // The wait ends at the failed query, without the stopped line.
      {"QueryServiceStatus #2, remove, still stopping (6)",
       {"-remove"},
       true,
       [] {
         fake::services()["vyrq4asr"].stop_pending_queries = 5;
         fail("QueryServiceStatus", 2, 6);
       },
       "Stopping " DISPLAY ".." DISPLAY " removed.",
       0,
       {saved_error_is(6)}},
      {"DeleteService #1, remove (5)",
       {"-remove"},
       true,
       [] { fail("DeleteService", 1, 5); },
       "DeleteService failed - Access is denied. (0x5)"},
      {"ControlService #1, query (1062)",
       {"-query"},
       true,
       [] { fail("ControlService", 1, 1062); },
       ""},
      {"FormatMessageA every call (8)",
       {"-remove"},
       true,
       [] {
         fail("FormatMessageA", 0, 8);
         fail("DeleteService", 1, 5);
       },
       "DeleteService failed - "},
      {"LocalFree every call (6)",
       {"-remove"},
       true,
       [] {
         fail("LocalFree", 0, 6);
         fail("DeleteService", 1, 5);
       },
       "DeleteService failed - Access is denied. (0x5)"},
      {"FindClose #1 (6)",
       {"-install"},
       false,
       [] { fail("FindClose", 1, 6); },
       DISPLAY " installed and started."},
      {"CloseServiceHandle #1, the service, remove (6)",
       {"-remove"},
       true,
       [] { fail("CloseServiceHandle", 1, 6); },
       DISPLAY " removed.",
       1},
  };
}

std::string last_line(const std::string &out) {
  std::string text = without_prompt(out);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  size_t cut = text.rfind('\n');
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

std::string cell(const std::string &text) { return text.empty() ? "-" : text; }

class FaultMatrix : public World {};

TEST_F(FaultMatrix, EveryFaultReachesItsOutcomeAndTheTableIsWritten) {
  FILE *table = fopen("fault_matrix.md", "w");
  ASSERT_NE(table, nullptr);
  fprintf(table, "# Fault matrix (generated by the unit tests)\n\n## Service run\n\n");
  fprintf(table, "| fault | final report | event | timer | more | as expected |\n");
  fprintf(table, "|---|---|---|---|---|---|\n");
  int failures = 0;
  for (const ServiceRow &row : service_rows()) {
    Outcome o = run_service_row(row);
    bool ok = o.final_state == row.expected.final_state && o.event == row.expected.event &&
              o.timer == row.expected.timer;
    EXPECT_EQ(o.final_state, row.expected.final_state) << row.fault;
    EXPECT_EQ(o.event, row.expected.event) << row.fault;
    EXPECT_EQ(o.timer, row.expected.timer) << row.fault;
    std::string more = check_facts(row.fault, row.also, "", &ok);
    failures += !ok;
    fprintf(table, "| %s | %s | %s | %s | %s | %s |\n", row.fault.c_str(), o.final_state.c_str(),
            cell(o.event).c_str(), o.timer.c_str(), cell(more).c_str(), ok ? "yes" : "NO");
  }

  fprintf(table, "\n## Commands\n\n| fault | command | last message | more | as expected |\n");
  fprintf(table, "|---|---|---|---|---|\n");
  for (const CommandRow &row : command_rows()) {
    fake::reset();
    reset_system_state();
    if (row.running_installation) add_installed(SERVICE_RUNNING);
    row.inject();
    ProgramRun run = run_program(row.args);
    fake::end_process();
    EXPECT_THAT(fake::violations(), ::testing::IsEmpty()) << row.fault;
    EXPECT_EQ(run.status, 0) << row.fault;
    EXPECT_EQ(fake::open_handles("scm") + fake::open_handles("service"), row.handles_left)
        << row.fault;
    std::string line = last_line(run.out);
    EXPECT_EQ(line, row.expected_last_line) << row.fault << "\nwhole output:\n" << run.out;
    bool ok = line == row.expected_last_line && run.status == 0;
    std::string more = check_facts(row.fault, row.also, run.out, &ok);
    failures += !ok;
    fprintf(table, "| %s | %s | %s | %s | %s |\n", row.fault.c_str(), joined(row.args).c_str(),
            cell(line).c_str(), cell(more).c_str(), ok ? "yes" : "NO");
  }
  fprintf(table, "\n%d rows not as expected.\n", failures);
  fclose(table);
}

}  // namespace
