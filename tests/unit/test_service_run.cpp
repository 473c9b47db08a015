// Whole service runs through the dispatcher: start, feeding, the orderly stop,
// and every way the worker can end on its own.
#include <algorithm>

#include "cli_run.h"
#include "health_script.h"
#include "service/event_ids.h"
#include "service/trace.h"
#include "service_run.h"
#include "watchdog/commands.h"
#include "watchdog/driver_library.h"
#include "watchdog/pretimeout.h"
#include "watchdog/session.h"
#include "watchdog/timer_record.h"

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

const char *kStartReports[] = {
    "START_PENDING cp=1 hint=3000 accept=0x40 exit=0x0",
    "START_PENDING cp=2 hint=3000 accept=0x40 exit=0x0",
    "START_PENDING cp=3 hint=3000 accept=0x40 exit=0x0",
    "RUNNING cp=0 hint=0 accept=0x141 exit=0x0",
};

class ServiceRun : public ServiceRunWorld {};

TEST_F(ServiceRun, StartFeedAndOrderlyStop) {
  timeout_seconds = 300;
  fake::send_control(30050, SERVICE_CONTROL_STOP, 0);
  run();

  EXPECT_THAT(reports(),
              ElementsAre(kStartReports[0], kStartReports[1], kStartReports[2], kStartReports[3],
                          "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                          "STOP_PENDING cp=5 hint=0 accept=0x141 exit=0x0",
                          "STOPPED cp=0 hint=0 accept=0x141 exit=0x0"));
  EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Reset", "Reset", "Disable"));
  EXPECT_THAT(request_times(0x22), ElementsAre(0, 10100, 20200))
      << "a reset at once after the enable, then every 101 ticks of 100 ms";
  auto disables = request_times(0x24);
  ASSERT_EQ(disables.size(), 2u);
  EXPECT_LE(disables[1] - 30050, 100u) << "the stop must be seen within one tick";
  EXPECT_THAT(fake::control_results(), ElementsAre(NO_ERROR));
  EXPECT_THAT(fake::ipmi_requests()[1].data, ElementsAre(0x44, 0x01, 0x00, 0x10, 0xB8, 0x0B))
      << "armed with timeout_seconds x 10";
  EXPECT_FALSE(fake::bmc().watchdog.running()) << "the stop must leave the timer stopped";
  EXPECT_THAT(fake::bmc().expiries, IsEmpty());

  auto j = fake::journal();
  int disable = journal_index(j, "SendQD4Request cmd=0x24 data=04 01 00 10 00 0A");
  int close = journal_index(j, "CloseQD4Driver");
  int unload = journal_index(j, "FreeLibrary");
  EXPECT_TRUE(disable >= 0 && disable < close && close < unload)
      << "expected disable, close, unload in that order; got lines " << disable << ", " << close
      << ", " << unload;
  EXPECT_THAT(fake::journal("SetPriorityClass"),
              ElementsAre("SetPriorityClass 0x100", "SetPriorityClass 0x20"));
  EXPECT_EQ(fake::priority_class(), DWORD(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(exit_code_of("thread1"), 0);
  EXPECT_EQ(fake::library_refcount(), 0);
  EXPECT_EQ(fake::open_handles("event"), 0);
  EXPECT_EQ(fake::open_handles("thread"), 0);
  EXPECT_EQ(fake::open_handles("eventsource"), 0);
  EXPECT_THAT(fake::events(), IsEmpty());
  EXPECT_EQ(watchdog_session.load(), 0u);
}

TEST_F(ServiceRun, LibraryIsLoadedFromTheSystemFolderOnly) {
  // A planted copy in the current folder and on PATH is never loaded (the
  // fake records loading one as a violation), whether or not the system
  // folder has the library.
  struct Row {
    bool wow64, search_flags, library_present;
    const char *load;
  } rows[] = {
      {false, true, true,
       "LoadLibraryExA C:\\windows\\system32\\vyrqd4w.dll flags=0x900 -> "
       "C:\\windows\\system32\\vyrqd4w.dll"},
      {true, true, true,
       "LoadLibraryExA C:\\windows\\SysWOW64\\vyrqd4w.dll flags=0x900 -> "
       "C:\\windows\\SysWOW64\\vyrqd4w.dll"},
      // Without the search flags: the full path, by the standard call.
      {false, false, true,
       "LoadLibraryA C:\\windows\\system32\\vyrqd4w.dll -> C:\\windows\\system32\\vyrqd4w.dll"},
      {false, true, false,
       "LoadLibraryExA C:\\windows\\system32\\vyrqd4w.dll flags=0x900 failed=126"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.load);
    fake::reset();
    reset_system_state();
    fake::set_wow64(row.wow64);
    fake::set_search_flags(row.search_flags);
    fake::bmc().library_present = row.library_present;
    fake::set_current_directory("C:\\Users\\Public");
    fake::set_path_folders({"C:\\Tools\\bin"});
    fake::files()["C:\\Users\\Public\\vyrqd4w.dll"] = fake::File{};
    fake::files()["C:\\Tools\\bin\\vyrqd4w.dll"] = fake::File{};
    fake::send_control(500, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_THAT(fake::journal("LoadLibrary"), ElementsAre(row.load));
    EXPECT_THAT(fake::violations(), IsEmpty());
  }
}

TEST_F(ServiceRun, StopWhileStartingIsRefusedAndARepeatedOneStopsTheService) {
  // The run routine's event takes 2 s to create: START_PENDING until then,
  // and a service that does not accept stops yet gets none.
  fake::before("CreateEventA", 1, [] { Sleep(2000); });
  fake::send_control(1000, SERVICE_CONTROL_STOP, 0);
  fake::send_control(5000, SERVICE_CONTROL_STOP, 0);
  run();
  EXPECT_THAT(fake::journal("control "),
              ElementsAre("control 1 type=0 refused=1061", "control 1 type=0 -> 0"));
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
  EXPECT_THAT(request_times(0x22), ElementsAre(2000)) << "fed from RUNNING on, until the stop";
}

TEST_F(ServiceRun, ManagerRefusesAStatusRecordWithAnUnknownStateOrType) {
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerExA("vyrq4asr", control_handler, nullptr);
  SERVICE_STATUS good{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, 3000};
  SERVICE_STATUS bad_states[] = {good, good, good};
  bad_states[0].dwCurrentState = 0;
  bad_states[1].dwCurrentState = 8;
  bad_states[2].dwServiceType = 0x4;  // no Win32 service's type
  for (SERVICE_STATUS &bad : bad_states) {
    SetLastError(0);
    EXPECT_FALSE(SetServiceStatus(h, &bad));
    EXPECT_EQ(GetLastError(), 13u) << "ERROR_INVALID_DATA";
  }
  good.dwServiceType |= SERVICE_INTERACTIVE_PROCESS;
  EXPECT_TRUE(SetServiceStatus(h, &good));
  EXPECT_THAT(fake::status_reports(), ::testing::SizeIs(1));
}

TEST_F(ServiceRun, ExactlyOneHundredOneTicksBetweenResets) {
  fake::send_control(45000, SERVICE_CONTROL_STOP, 0);
  run();
  auto j = fake::journal();
  std::vector<int> sleeps_between;
  int sleeps = -1;
  for (const auto &line : j) {
    if (line.rfind("SendQD4Request cmd=0x22", 0) == 0) {
      if (sleeps >= 0) sleeps_between.push_back(sleeps);
      sleeps = 0;
    } else if (line == "Sleep 100" && sleeps >= 0) {
      sleeps++;
    }
  }
  EXPECT_THAT(sleeps_between, ElementsAre(101, 101, 101, 101));
}

// The debugger traces, one row per situation: the lines it must trace in
// this order (each the start of a line; others may come between), and, when
// not 0, how many trace lines there are in all.
TEST_F(ServiceRun, EachSituationTracesItsLines) {
  struct Row {
    const char *situation;
    std::function<void()> act;
    std::vector<std::string> lines;
    size_t count = 0;
  };
  auto stop_at = [](uint64_t ms) { fake::send_control(ms, SERVICE_CONTROL_STOP, 0); };
  // A service run after this set-up.
  auto serve = [this](std::function<void()> setup) {
    return [this, setup] {
      setup();
      run();
    };
  };
  const Row rows[] = {
      {"a run, the service thread",
       serve([&] { stop_at(500); }),
       {"Service_Main entry\n", "Service_Main : got valid Ctrl handle\n", "Starting thread 1\n",
        "started thread 1\n", "wait for thread to exit\n", "Service_Main exiting\n"},
       17},
      {"a run, the worker",
       serve([&] { stop_at(500); }),
       {"thread 1 entry\n", "loaded vyrqd4w.dll\n", "enable WD, CmdData[4] = f6, CmdData[5] = 9 \n",
        "reseting WD\n", "disabling WD at exit\n", "library is closed, exit\n", "exiting thread\n",
        "ServiceStop entry\n"}},
      {"a run, the stop's handler",
       serve([&] { stop_at(500); }),
       {"Service_ctrl entry\n", "ctrl entry, code = 1\n", "ServiceStop entry\n",
        "wait for thread to exit\n"}},
      {"power events",
       serve([&] {
         fake::send_control(1000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPENDFAILED);
         fake::send_control(2000, SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND);
         fake::send_control(3000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
         stop_at(4000);
       }),
       {"ctrl entry, code = d\n", "Service_ctrl power default\n", "ctrl entry, code = d\n",
        "Service_ctrl power suspend\n", "ctrl entry, code = d\n", "Service_ctrl power resume\n",
        "ctrl entry, code = 1\n"}},
      {"the library missing",
       serve([&] { fake::bmc().library_present = false; }),
       {"open_library failed !\n"}},
      {"the library without OpenQD4Driver",
       serve([&] { fake::bmc().has_open = false; }),
       {"vyrqd4w.dll entry point was NULL\n"}},
      {"the close failing",
       serve([&] {
         fake::bmc().close_status = 31;
         stop_at(500);
       }),
       {"closing the driver failed"}},
      {"the stop's disable refused for 10 s",
       serve([&] {
         fake::add_bmc_fault({fake::BmcFault::kBusy, 400, 15400});
         stop_at(500);
       }),
       {"I couldn't disable WD timer before normal exit\n"}},
      {"resets refused for half the timeout",
       serve([&] {
         timeout_seconds = 300;
         fake::script_reply(0x22, 0, 0, 0xD5);
       }),
       {"reset failed. good, I could disable timer before exit"}},
      {"the front end's arguments",
       [] {
         fake::set_started_by_scm(false);
         run_program({"300"});
       },
       {"main entry\n", "main, argc = 2\n", "arg = [", "C:\\Tools\\vyriasrw.exe", "]\n", "arg = [",
        "300", "]\n", "using user-supplied timeout [", "300", "]\n"}},
      {"the four watchdog commands failing",
       [] {
         trace_enabled = 0;
         WatchdogSession session = 0;
         ASSERT_TRUE(load_driver_library());
         ASSERT_EQ(driver_open(&session), 0u);
         trace_enabled = 1;
         for (BYTE command : {0x24, 0x22, 0x25}) fake::script_reply(command, 0, 1, 0);
         timeout_seconds = 300;
         wd_disable(session);
         wd_enable(session, EnableSettings{});
         wd_reset(session);
         wd_is_running(session);
       },
       {"disable timer failed\n", "enable WD, CmdData[4] = b8, CmdData[5] = b \n",
        "enable timer failed\n", "reset timer failed\n", "checking timer ownership failed\n"},
       5},
      {"the handler's registration failing",
       serve([&] { fake::fail("RegisterServiceCtrlHandlerExA", 1, ERROR_SERVICE_DOES_NOT_EXIST); }),
       {"Service_Main entry\n", "Service_Main exiting\n", "Service_Main exiting with stop error\n"},
       3},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    fake::end_process();
    fake::reset();
    reset_system_state();
    trace_enabled = 1;
    row.act();
    std::vector<std::string> traces;
    for (const std::string &line : fake::journal("OutputDebugStringA "))
      traces.push_back(line.substr(sizeof("OutputDebugStringA ") - 1));
    size_t at = 0;
    for (const std::string &want : row.lines) {
      while (at < traces.size() && traces[at].compare(0, want.size(), want) != 0) at++;
      EXPECT_LT(at, traces.size()) << "expected, after the lines before it, the trace \"" << want
                                   << "\"; got " << ::testing::PrintToString(traces);
      if (at == traces.size()) break;
      at++;
    }
    if (row.count != 0) {
      EXPECT_EQ(traces.size(), row.count) << ::testing::PrintToString(traces);
    }
  }
}

TEST_F(ServiceRun, LibraryMissingRunsThirtySecondsThenStopsWithTheLoadError) {
  trace_enabled = 1;
  fake::bmc().library_present = false;
  run();
  EXPECT_THAT(reports(),
              ElementsAre(kStartReports[0], kStartReports[1], kStartReports[2], kStartReports[3],
                          "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                          "STOPPED cp=0 hint=0 accept=0x141 exit=0x7e"));
  ASSERT_EQ(report_times.size(), 6u);
  EXPECT_EQ(report_times[4], 30000u) << "the worker waits 30 s before it ends";
  EXPECT_THAT(fake::ipmi_requests(), IsEmpty());
  ASSERT_EQ(fake::events().size(), 1u);
  EXPECT_EQ(fake::events()[0].at_ms, 0u) << "written at once, not after the delay";
  EXPECT_THAT(
      fake::events()[0].strings,
      ElementsAre("vyrq4asr error: 126", "VYR IPMI ASR exiting; vyrqd4w.dll could not be loaded."));
  EXPECT_EQ(exit_code_of("thread1"), 0);
  EXPECT_EQ(fake::priority_class(), DWORD(NORMAL_PRIORITY_CLASS));
}

TEST_F(ServiceRun, StopDuringLibraryMissingDelayEndsWithStopError) {
  fake::bmc().library_present = false;
  fake::send_control(10000, SERVICE_CONTROL_STOP, 0);
  run_service_process();
  EXPECT_THAT(reports(),
              ElementsAre(kStartReports[0], kStartReports[1], kStartReports[2], kStartReports[3],
                          "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                          "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002"));
  EXPECT_EQ(stopped_at(), 12000u) << "the run routine gives the worker 2 s";
  // Let the process linger until the worker's delay is over: it must neither
  // report after STOPPED nor signal an event that was closed.
  fake::wait_for_threads();
  fake::end_process();
  EXPECT_EQ(fake::status_reports().size(), 6u) << "no report may follow STOPPED";
  EXPECT_THAT(fake::journal("SetEvent"), ElementsAre("SetEvent event1"));
  EXPECT_EQ(fake::events().size(), 1u) << "the missing library is logged all the same";
}

TEST_F(ServiceRun, StopControlSignallingAsTheRunRoutineCleansUpNeverMeetsAClosedEvent) {
  // A stop control (passed on while the service still runs) has read the
  // event's handle and is held just before its SetEvent. The worker then
  // fails (its open takes 1.5 s) and signals; the run routine waits its 2 s,
  // and the handler is still held when they end.
  fake::bmc().open_status = ERROR_FILE_NOT_FOUND;
  fake::before("OpenQD4Driver", 1, [] { Sleep(1500); });
  fake::before("SetEvent", 1, [] { Sleep(3000); });
  fake::send_control(1000, SERVICE_CONTROL_STOP, 0);
  run();
  auto j = fake::journal();
  int handler_signal = journal_index(j, "SetEvent event1", journal_index(j, "SetEvent event1") + 1);
  int close = journal_index(j, "CloseHandle event1");
  EXPECT_TRUE(handler_signal >= 0 && handler_signal < close)
      << "expected the handler's SetEvent before the event's close; got lines " << handler_signal
      << " and " << close;
  EXPECT_EQ(fake::open_handles("event"), 0);
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002");
}

class WorkerFailure : public ServiceRun {
 protected:
  void expect_failed_stop() {
    EXPECT_THAT(reports(),
                ElementsAre(kStartReports[0], kStartReports[1], kStartReports[2], kStartReports[3],
                            "STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                            "STOPPED cp=0 hint=0 accept=0x141 exit=0xe0010002"));
    EXPECT_EQ(stopped_at(), 2000u) << "STOPPED after the run routine's 2 s wait";
    EXPECT_EQ(exit_code_of("thread1"), 0xFFFFFFFF);
    EXPECT_EQ(fake::priority_class(), DWORD(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fake::open_handles("event"), 0);
    EXPECT_EQ(fake::open_handles("eventsource"), 0);
    EXPECT_EQ(watchdog_session.load(), 0u);
  }
  void expect_event(const std::string &first, const std::string &text) {
    auto events = fake::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].category, 0);
    EXPECT_EQ(events[0].id, 0u);
    EXPECT_TRUE(events[0].user_null);
    EXPECT_EQ(events[0].data_size, 0u);
    EXPECT_THAT(events[0].strings, ElementsAre(first, text));
  }
};

// The timer as earlier software left it: these timer uses ran out in turn
// (the BMC keeps their expiration flags), each with power cycle as its action.
void ran_out_before(std::vector<BYTE> uses) {
  bmcsim::WatchdogEvent events[2];
  for (BYTE use : uses) {
    fake::bmc().watchdog.start_running(use, ipmi::kActionPowerCycle, 1, 0);
    fake::bmc().watchdog.poll(ipmi::kMsPerCount, events, 2);
  }
}
void timer_running_with(BYTE use, WORD count) {
  fake::bmc().watchdog.start_running(use, ipmi::kActionPowerCycle, count, 0);
}

// Another agent's timer (SMS/OS, OEM, a reserved use) is refused untouched.
TEST_F(WorkerFailure, TimerAlreadyRunningIsNeverTouched) {
  for (BYTE use : {4, 5, 0, 6, 7}) {
    SCOPED_TRACE("timer use " + std::to_string(use));
    fake::end_process();
    fake::reset();
    reset_system_state();
    report_times.clear();
    fake::before("SetServiceStatus", 0, [this] { report_times.push_back(fake::now()); });
    ran_out_before({ipmi::kUseSmsOs});
    timer_running_with(use, 6000);
    run();
    expect_failed_stop();
    expect_event("vyrq4asr error: 0", "VYR IPMI ASR exiting; timer is not available.");
    EXPECT_THAT(ipmi_commands(), ElementsAre("Get"));
    EXPECT_TRUE(fake::bmc().watchdog.running());
    EXPECT_EQ(fake::bmc().watchdog.initial_count(), 6000);
    EXPECT_EQ(fake::bmc().watchdog.action(), ipmi::kActionPowerCycle);
    EXPECT_EQ(fake::bmc().watchdog.expiration_flags(), 0x10)
        << "a refused start reports and clears nothing";
    EXPECT_EQ(fake::library_refcount(), 0);
    EXPECT_THAT(fake::journal("CloseQD4Driver"), ElementsAre("CloseQD4Driver 0x5e55 -> 0"));
  }
}

// The BIOS's boot watchdog (FRB2, POST, OS Load) is taken over: the plain
// enable and the first reset, and an information entry with the count left.
TEST_F(ServiceRun, BiosTimerRunningAtStartIsTakenOver) {
  struct Row {
    BYTE use;
    const char *name;
  } rows[] = {{1, "BIOS FRB2"}, {2, "BIOS POST"}, {3, "OS Load"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    fake::end_process();
    fake::reset();
    reset_system_state();
    timer_running_with(row.use, 3000);
    fake::send_control(20000, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Reset", "Disable"));
    EXPECT_THAT(fake::ipmi_requests()[1].data, ElementsAre(0x44, 0x01, 0x00, 0x10, 0xF6, 0x09));
    auto events = fake::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[0].id, 10u);
    EXPECT_THAT(
        events[0].strings,
        ElementsAre("vyrq4asr", std::string("VYR IPMI ASR: the BIOS's boot watchdog (") + row.name +
                                    ") was running with 300.0 s left; the service takes "
                                    "it over as its own timer."));
    EXPECT_FALSE(fake::bmc().watchdog.running()) << "the stop disarmed it";
  }
}

// A planned reboot: the preshutdown leaves the timer armed with the
// allowance within 8 s, and on a BMC that keeps counting over the warm reset
// the next start takes it back, or, after a boot longer than the allowance,
// says that the allowance ran out rather than that Windows hung.
TEST_F(ServiceRun, PreshutdownLeavesTheTimerForTheRebootAndTheNextStartTakesItBack) {
  struct Row {
    uint64_t boot_s;
    DWORD id;
    std::string text;
  } rows[] = {
      {120, 30,
       "VYR IPMI ASR: the service's own timer was still running: it was left armed for a "
       "shutdown at 2026-12-01 00:00:20 UTC. The service takes it back."},
      {700, 33,
       "VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags were last cleared: "
       "the timer was left for a shutdown at 2026-12-01 00:00:20 UTC with 600 s allowed, and the "
       "shutdown and the restart did not end within it (a slow POST or boot, or a hung "
       "shutdown). For a slow restart, raise ShutdownAllowance under "
       "HKLM\\SYSTEM\\CurrentControlSet\\Services\\vyrq4asr\\Parameters."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("a boot of " + std::to_string(row.boot_s) + " s");
    fake::end_process();
    fake::reset();
    reset_system_state();
    report_times.clear();
    fake::before("SetServiceStatus", 0, [this] { report_times.push_back(fake::now()); });
    fake::send_control(20000, SERVICE_CONTROL_PRESHUTDOWN, 0);
    run();
    auto r = reports();
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(r[4], "STOP_PENDING cp=4 hint=8000 accept=0x141 exit=0x0");
    EXPECT_EQ(r.back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    EXPECT_LE(stopped_at(), 20000u + 8000u) << "STOPPED within 8 s of the control";
    EXPECT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Reset", "Enable", "Reset"));
    EXPECT_THAT(fake::ipmi_requests()[4].data, ElementsAre(0x44, 0x01, 0x00, 0x10, 0x70, 0x17))
        << "the enable's use and action, 600 s, no pre-timeout";
    ASSERT_EQ(fake::events().size(), 1u);
    EXPECT_EQ(fake::events()[0].id, 31u);
    EXPECT_TRUE(fake::bmc().watchdog.running()) << "never disarmed at a shutdown";

    fake::Bmc bmc = fake::bmc();
    auto registry = fake::registry();
    uint64_t boot_at = fake::now() + row.boot_s * 1000;
    fake::end_process();
    fake::reset(boot_at);
    reset_system_state();
    fake::bmc() = bmc;
    fake::registry() = registry;
    fake::send_control(boot_at + 5000, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    ASSERT_EQ(fake::events().size(), 1u);
    EXPECT_EQ(fake::events()[0].id, row.id);
    EXPECT_EQ(fake::events()[0].strings[1], row.text);
    EXPECT_FALSE(fake::bmc().watchdog.running()) << "the stop disarmed it";
  }
}

// Each expiration flag found at start: its warning, its bit in the enable's
// clear mask, and nothing at the next start.
TEST_F(ServiceRun, EachExpiryFoundAtStartIsReportedOnceAndCleared) {
  const std::string since = " ran out since its expiration flags were last cleared";
  struct Row {
    std::vector<BYTE> uses;
    BYTE flags;
    std::vector<DWORD> ids;
    std::vector<std::string> texts;
  } rows[] = {
      {{4},
       0x10,
       {11},
       {"VYR IPMI ASR: the BMC's watchdog" + since +
        ", and the BMC took its timeout "
        "action (power cycle): the timer's resets had stopped, because Windows or "
        "the service hung."}},
      {{1},
       0x02,
       {12},
       {"VYR IPMI ASR: the BIOS's boot watchdog (BIOS FRB2)" + since +
        ": a boot hung before Windows took the timer over."}},
      {{2},
       0x04,
       {13},
       {"VYR IPMI ASR: the BIOS's boot watchdog (BIOS POST)" + since +
        ": a boot hung before Windows took the timer over."}},
      {{5}, 0x20, {15}, {"VYR IPMI ASR: an OEM watchdog timer" + since + "."}},
      // A boot hung, the BMC reset the server, and the BIOS left its timer
      // set: the SMS/OS run-out's action is no longer known.
      {{4, 3},
       0x18,
       {14, 11},
       {"VYR IPMI ASR: the BIOS's boot watchdog (OS Load)" + since +
            ": a boot hung before Windows took the timer over.",
        "VYR IPMI ASR: the BMC's watchdog" + since +
            ", and the BMC took its timeout action (action not known: the timer has been set "
            "for OS Load since): the timer's resets had stopped, because Windows or the "
            "service hung."}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("flags " + std::to_string(row.flags));
    fake::Bmc bmc;
    for (int start = 1; start <= 2; start++) {
      fake::end_process();
      fake::reset();
      reset_system_state();
      if (start == 1) {
        ran_out_before(row.uses);
        ASSERT_EQ(fake::bmc().watchdog.expiration_flags(), row.flags);
      } else {
        fake::bmc() = bmc;
      }
      fake::send_control(5000, SERVICE_CONTROL_STOP, 0);
      run();
      bmc = fake::bmc();
      BYTE mask = start == 1 ? static_cast<BYTE>(0x10 | row.flags) : 0x10;
      ASSERT_GE(fake::ipmi_requests().size(), 2u);
      EXPECT_THAT(fake::ipmi_requests()[1].data, ElementsAre(0x44, 0x01, 0x00, mask, 0xF6, 0x09))
          << "start " << start;
      EXPECT_EQ(fake::ipmi_requests().back().data[3], 0x10) << "the stop's disable is plain";
      std::vector<DWORD> ids;
      std::vector<std::string> texts;
      for (const fake::Event &e : fake::events()) {
        EXPECT_EQ(e.type, EVENTLOG_WARNING_TYPE);
        ids.push_back(e.id);
        texts.push_back(e.strings.size() == 2 ? e.strings[1] : "?");
      }
      EXPECT_EQ(ids, start == 1 ? row.ids : std::vector<DWORD>{}) << "start " << start;
      EXPECT_EQ(texts, start == 1 ? row.texts : std::vector<std::string>{}) << "start " << start;
      EXPECT_EQ(fake::bmc().watchdog.expiration_flags(), 0) << "start " << start;
    }
  }
}

// The stop's STOP_PENDING reports after the handler's: the run routine's, one
// a second while the worker holds its session, then the worker's own.
std::vector<std::string> stop_pending_reports() {
  std::vector<std::string> out;
  for (const std::string &r : reports())
    if (r.rfind("STOP_PENDING", 0) == 0) out.push_back(r);
  return out;
}

TEST_F(ServiceRun, BusySpellAtAStopIsRiddenThrough) {
  // The BMC answers busy from 400 ms on, for 5 s; the stop comes at 500 ms.
  fake::add_bmc_fault({fake::BmcFault::kBusy, 400, 5400});
  fake::send_control(500, SERVICE_CONTROL_STOP, 0);
  run();
  auto disables = request_times(0x24);
  ASSERT_EQ(disables.size(), 1u + 25u) << "the enable, then a disable every 200 ms until taken";
  EXPECT_EQ(disables[1], 600u) << "the stop is seen at the next tick";
  EXPECT_EQ(disables[2] - disables[1], 200u);
  EXPECT_EQ(disables.back(), 5400u) << "the first disable after the spell is taken";
  EXPECT_FALSE(fake::bmc().watchdog.running()) << "the stop must leave the timer stopped";
  EXPECT_THAT(fake::events(), IsEmpty());
  EXPECT_EQ(stop_pending_reports(),
            (std::vector<std::string>{"STOP_PENDING cp=4 hint=0 accept=0x141 exit=0x0",
                                      "STOP_PENDING cp=5 hint=2000 accept=0x141 exit=0x0",
                                      "STOP_PENDING cp=6 hint=2000 accept=0x141 exit=0x0",
                                      "STOP_PENDING cp=7 hint=2000 accept=0x141 exit=0x0",
                                      "STOP_PENDING cp=8 hint=2000 accept=0x141 exit=0x0",
                                      "STOP_PENDING cp=9 hint=0 accept=0x141 exit=0x0"}))
      << "the service manager is kept waiting, past the 2 s of an unanswered worker";
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
}

TEST_F(ServiceRun, DisableRefusedForTenSecondsAtStopIsLogged) {
  trace_enabled = 1;
  fake::add_bmc_fault({fake::BmcFault::kBusy, 400, 15400});
  fake::send_control(500, SERVICE_CONTROL_STOP, 0);
  run();
  auto disables = request_times(0x24);
  ASSERT_EQ(disables.size(), 1u + 51u) << "the enable, then 10 s of disables 200 ms apart";
  EXPECT_EQ(disables.back() - disables[1], 10000u);
  EXPECT_TRUE(fake::bmc().watchdog.running()) << "the model should still count down";
  ASSERT_EQ(fake::events().size(), 1u);
  EXPECT_THAT(fake::events()[0].strings,
              ElementsAre("vyrq4asr error: 1117", "VYR IPMI ASR exiting; timer disable failed."));
  EXPECT_EQ(stop_pending_reports().size(), 1u + 10u + 1u);
  EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x45d")
      << "a stop that leaves the timer armed must not look clean (1117, ERROR_IO_DEVICE)";
}

// The pre-timeout at start: taken only in range; with one in use, Windows'
// crash dump settings are read (never written) and a short interval is named.
TEST_F(ServiceRun, PretimeoutIsTakenOnlyInRangeAndWarnsWhenNoDumpWouldCome) {
  const std::string crash_control = "SYSTEM\\CurrentControlSet\\Control\\CrashControl";
  const std::string under = " under HKLM\\" + crash_control;
  const std::string no_dump =
      ": the pre-timeout NMI will restart the server without a crash dump. Set ";
  const std::string outside = "VYR IPMI ASR: pre-timeout ";
  const std::string without = " timeout; running without the pre-timeout interrupt.";
  struct Row {
    const char *name;
    WORD timeout;
    const char *argument;
    WORD requested;
    std::function<void()> windows;
    BYTE used;
    std::vector<DWORD> ids;
    std::vector<std::string> first_entry;
  } rows[] = {
      {"none", 255, nullptr, 0, {}, 0, {}, {}},
      {"the upper bound for 250 s", 250, "95", 95, {}, 95, {}, {}},
      {"above it",
       250,
       "96",
       96,
       {},
       0,
       {20},
       {"vyrq4asr warning: 87",
        outside + "\"96\" (96 s) lies outside 10..95 s for the 250 s" + without}},
      {"the lower bound, short for a dump",
       250,
       "10",
       10,
       {},
       10,
       {23},
       {"vyrq4asr warning: 0",
        "VYR IPMI ASR: a pre-timeout of 10 s may be too short for the crash dump of a large "
        "server; the BMC resets the server when it runs out. Choose 60 s or more (up to 95 s "
        "with the 250 s timeout)."}},
      {"below it", 250, "9", 9, {}, 0, {20}, {}},
      {"the field's bound", 3200, "255", 255, {}, 255, {}, {}},
      {"beyond a byte", 3200, "256", 256, {}, 0, {20}, {}},
      {"not a number",
       255,
       "-n",
       0,
       {},
       0,
       {20},
       {"vyrq4asr warning: 87",
        outside + "\"-n\" (0 s) lies outside 10..97 s for the 255 s" + without}},
      {"dumps switched off",
       250,
       "95",
       95,
       [&] { fake::set_registry_dword(crash_control, "CrashDumpEnabled", 0); },
       95,
       {22},
       {"vyrq4asr warning: 0", "VYR IPMI ASR: CrashDumpEnabled" + under + " is 0" + no_dump +
                                   "CrashDumpEnabled to 2 (kernel memory dump)."}},
      {"no crash control key",
       250,
       "95",
       95,
       [&] { fake::registry().erase(crash_control); },
       95,
       {22},
       {"vyrq4asr warning: 2", "VYR IPMI ASR: CrashDumpEnabled" + under + " is missing" + no_dump +
                                   "CrashDumpEnabled to 2 (kernel memory dump)."}},
      {"Windows 6.1 without NMICrashDump",
       250,
       "95",
       95,
       [] { fake::set_windows_version(6, 1); },
       95,
       {22},
       {"vyrq4asr warning: 2", "VYR IPMI ASR: NMICrashDump" + under + " is missing" + no_dump +
                                   "NMICrashDump to 1 (REG_DWORD) and restart Windows."}},
      {"Windows 6.1 with NMICrashDump 1",
       250,
       "95",
       95,
       [&] {
         fake::set_windows_version(6, 1);
         fake::set_registry_dword(crash_control, "NMICrashDump", 1);
       },
       95,
       {},
       {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    fake::end_process();
    fake::reset();
    reset_system_state();
    timeout_seconds = row.timeout;
    pretimeout_argument = row.argument;
    pretimeout_requested = row.requested;
    if (row.windows) row.windows();
    fake::send_control(500, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    ASSERT_THAT(ipmi_commands(), ElementsAre("Get", "Enable", "Reset", "Disable"));
    std::vector<BYTE> enable = fake::ipmi_requests()[1].data;
    EXPECT_EQ(enable[1], row.used ? 0x21 : 0x01) << "NMI pre-timeout, hard reset";
    EXPECT_EQ(enable[2], row.used);
    std::vector<DWORD> ids;
    for (const fake::Event &e : fake::events()) {
      ids.push_back(e.id);
      EXPECT_EQ(e.type, EVENTLOG_WARNING_TYPE);
    }
    EXPECT_EQ(ids, row.ids);
    if (!row.first_entry.empty() && !fake::events().empty()) {
      EXPECT_EQ(fake::events()[0].strings, row.first_entry);
    }
    auto j = fake::journal();
    if (!row.ids.empty() && row.ids[0] != 20) {
      EXPECT_GT(journal_index(j, "RegOpenKeyExA HKLM\\SYSTEM\\CurrentControlSet\\Control\\Crash"),
                journal_index(j, "SendQD4Request cmd=0x22"))
          << "Windows' dump settings are read after the first reset, which they must not delay";
    }
    // Only the service's own record is written; the dump settings are read.
    EXPECT_THAT(fake::journal("RegCreateKeyExA"),
                Each(std::string("RegCreateKeyExA HKLM\\SOFTWARE\\VYR\\vyrq4asr")));
    EXPECT_THAT(fake::journal("RegSetValueExA"), Each(StartsWith("RegSetValueExA ArmedTimer ")));
    EXPECT_EQ(fake::open_handles("regkey"), 0);
  }
}

// A BMC without the pre-timeout interrupt, whichever refusal it gives: the
// plain enable at once and at every later enable, with one warning naming the
// code and no other.
TEST_F(ServiceRun, PretimeoutRefusedFallsBackToThePlainEnableOnce) {
  for (BYTE cc : {0xCC, 0xC9, 0xD6, 0xC1, 0xD5}) {
    SCOPED_TRACE(cc);
    fake::reset();
    reset_system_state();
    timeout_seconds = 250;
    pretimeout_argument = "95";
    pretimeout_requested = 95;
    fake::bmc().watchdog.refuse_pretimeout(true, cc);
    // No NMI will come: the dump settings are not judged.
    fake::set_registry_dword("SYSTEM\\CurrentControlSet\\Control\\CrashControl", "CrashDumpEnabled",
                             0);
    fake::send_control(5000, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
    fake::send_control(6000, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    fake::send_control(8000, SERVICE_CONTROL_STOP, 0);
    run();
    EXPECT_EQ(reports().back(), "STOPPED cp=0 hint=0 accept=0x141 exit=0x0");
    std::vector<std::string> sets;
    for (const fake::IpmiRequest &r : fake::ipmi_requests()) {
      if (r.command != 0x24) continue;
      char line[40];
      snprintf(line, sizeof line, "%02X %02X %02X -> %02X", r.data[0], r.data[1], r.data[2],
               r.completion_out);
      sets.push_back(line);
    }
    char refused[40], warning[160];
    snprintf(refused, sizeof refused, "44 21 5F -> %02X", cc);
    snprintf(warning, sizeof warning,
             "VYR IPMI ASR: the BMC refused the pre-timeout interrupt (completion code %02Xh); "
             "the timer is armed without it.",
             cc);
    EXPECT_THAT(sets, ElementsAre(refused, "44 01 00 -> 00", "04 01 00 -> 00", "44 01 00 -> 00",
                                  "04 01 00 -> 00"))
        << "refused, armed without it; the suspend's disable, the resume's enable, the stop's";
    auto events = fake::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[0].id, 21u);
    EXPECT_THAT(events[0].strings, ElementsAre("vyrq4asr warning: 1117", warning));
  }
}

// Opt-in health checks, each row a whole run with scripted check answers on
// the 255 s timer: the resets are withheld only after a failure as long as
// the grace, and then the BMC resets the server a timeout later; a pass in
// time resumes them, and nothing else ever stops them.
TEST_F(ServiceRun, HealthChecksWithholdTheResetsOnlyAfterTheirGrace) {
  using health_script::kFail;
  using health_script::kHang;
  using health_script::script;
  const uint64_t kHour = 3600000;
  auto fails_from = [](uint64_t from, uint64_t to, health_script::Answer answer = kFail) {
    return [=] {
      health_script::install();
      script().command = {{from, to, answer}};
    };
  };
  // The resets' gaps before the first withheld one: the loop keeps its cadence.
  auto cadence_kept = [](uint64_t until) {
    auto times = request_times(0x22);
    for (size_t i = 1; i < times.size() && times[i] < until; i++)
      EXPECT_EQ(times[i] - times[i - 1], 10100u) << "reset " << i;
  };
  auto withheld_at = [] {
    for (const fake::Event &e : fake::events())
      if (e.id == EVENT_HEALTH_WITHHOLDING) return e.at_ms;
    return uint64_t{0};
  };
  auto resets_after = [](uint64_t from) {
    auto times = request_times(0x22);
    return std::count_if(times.begin(), times.end(), [&](uint64_t t) { return t >= from; });
  };
  bool record_named_check = false;
  struct Row {
    const char *name;
    std::function<void()> setup;
    uint64_t stop_ms;
    std::vector<DWORD> ids;  // every entry's identifier, in order
    size_t expiries;
    DWORD exit_code;
    std::function<void()> check;
  } rows[] = {
      {"passes throughout",
       fails_from(0, 0),
       600000,
       {40},
       0,
       0,
       [&] {
         cadence_kept(kHour);
         EXPECT_EQ(script().command_runs.size(), 20u) << "every 30 s from the first second";
       }},
      {"fails from 60 s on",
       fails_from(60000, kHour),
       900000,
       {40, 43},
       1,
       ERROR_NOT_READY,
       [&] {
         uint64_t withheld = withheld_at();
         EXPECT_GE(withheld, 61000u + 180000u) << "not before the grace";
         EXPECT_LE(withheld, 61000u + 181000u);
         EXPECT_EQ(resets_after(withheld + 10100), 0) << "resets while withheld";
         cadence_kept(withheld);
         ASSERT_FALSE(fake::bmc().expiries.empty());
         EXPECT_LE(fake::bmc().expiries[0].at_ms, withheld + 255000);
         EXPECT_TRUE(record_named_check) << "the record names the check before the run-out";
         ASSERT_EQ(fake::events().size(), 2u);
         EXPECT_EQ(fake::events()[1].strings[1],
                   "VYR IPMI ASR: the health check HealthCommand has failed for 180 s without a "
                   "pass (exit code 1); the service withholds the timer's resets, and the BMC "
                   "will reset the server within 255 s.");
       }},
      {"fails from 60 s on; the BMC restarts while the resets are withheld",
       [&] {
         fails_from(60000, kHour)();
         fake::add_bmc_fault({fake::BmcFault::kRestart, 300000, 320000, 2000});
       },
       900000,
       {40, 43},
       1,
       0,  // the enable taken again mends the withholding's error, as any enable does
       [&] {
         // Armed again once the BMC answers, so that it still resets the server.
         ASSERT_FALSE(fake::bmc().expiries.empty());
         EXPECT_GE(fake::bmc().expiries[0].at_ms, 320000u + 255000u);
         EXPECT_LE(fake::bmc().expiries[0].at_ms, 320000u + 10100u + 3000u + 255000u);
         EXPECT_TRUE(record_named_check) << "the record names the check again after the enable";
       }},
      {"fails 60..200 s, shorter than the grace",
       fails_from(60000, 200000),
       600000,
       {40},
       0,
       0,
       nullptr},
      {"fails 60..330 s: withheld, then passes before the run-out",
       fails_from(60000, 330000),
       600000,
       {40, 43, 44},
       0,
       0,
       nullptr},
      {"hangs from 60 s on, each run ended at its limit",
       fails_from(60000, kHour, kHang),
       900000,
       {40, 43},
       1,
       ERROR_NOT_READY,
       [&] {
         EXPECT_GE(withheld_at(), 121000u + 180000u) << "failing only once its limit passed";
         cadence_kept(withheld_at());
       }},
      {"a folder's write stalls from 60 s on",
       [] {
         health_script::install(nullptr);
         health_script::set_text(HEALTH_FOLDER_VALUE, "D:\\data");
         script().folder = {{60000, kHour, kHang}};
       },
       900000,
       {40, 43},
       1,
       ERROR_NOT_READY,
       [&] {
         EXPECT_EQ(script().folder_runs.size(), 3u) << "no second run while a write is stuck";
         EXPECT_GE(withheld_at(), 121000u + 180000u);
       }},
      {"report only, fails 60..400 s",
       [&] {
         fails_from(60000, 400000)();
         health_script::set_number(kReportOnly, 1);
       },
       600000,
       {40, 45, 46},
       0,
       0,
       nullptr},
      {"fails from 60 s, its file changeable by users from 150 s: off, never withheld",
       [] {
         health_script::install();
         script().command = {{60000, 150000, kFail}, {150000, kHour, health_script::kUnsafe}};
       },
       600000,
       {40, 42},
       0,
       ERROR_ACCESS_DENIED,
       nullptr},
      {"a start delay of 600 s",
       [&] {
         fails_from(0, kHour)();
         health_script::set_number(kStartDelay, 600);
       },
       700000,
       {40},
       0,
       0,
       [] {
         ASSERT_FALSE(script().command_runs.empty());
         EXPECT_GE(script().command_runs[0], 600000u);
       }},
      {"the repair mends it",
       [&] {
         fails_from(60000, kHour)();
         health_script::set_text(REPAIR_COMMAND_VALUE, "C:\\tools\\repair.cmd");
         script().repair_mends = true;
       },
       600000,
       {40, 47},
       0,
       0,
       [] { EXPECT_EQ(script().repair_runs.size(), 1u); }},
      {"a sleep of 600 s while failing, not counted",
       [&] {
         fails_from(60000, kHour)();
         fake::send_control(120050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
         fake::at(120100, [] {
           fake::freeze("");
           Sleep(600000);
           fake::thaw("");
           fake::send_control(fake::now(), SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
         });
       },
       800000,
       {40},
       0,
       0,
       nullptr},
      {"a folder's write stuck from 60 s and across a sleep of 600 s",
       [] {
         health_script::install(nullptr);
         health_script::set_text(HEALTH_FOLDER_VALUE, "D:\\data");
         script().folder = {{60000, kHour, kHang}};
         fake::send_control(90050, SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
         fake::at(90100, [] {
           fake::freeze("");
           Sleep(600000);
           fake::thaw("");
           fake::send_control(fake::now(), SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
         });
       },
       1000000,
       {40, 43},
       0,
       ERROR_NOT_READY,
       [&] { EXPECT_GE(withheld_at(), 121000u + 600000u + 180000u) << "the sleep not counted"; }},
      // The BMC reset the server after a withholding for this check: it
      // reports until it has passed once, then withholds again.
      {"after a withheld reset: fails 0..400 s, then from 500 s on",
       [] {
         ran_out_before({ipmi::kUseSmsOs});
         const BYTE enable[] = {0x44, 0x01, 0x00, 0x10, 0xF6, 0x09};
         timer_record_write(enable, kArmedWhileRunning);
         timer_record_mark_withheld("HealthCommand");
         health_script::install();
         script().command = {{0, 400000, kFail}, {500000, kHour, kFail}};
       },
       800000,
       {48, 40, 45, 46, 43},
       0,
       ERROR_NOT_READY,
       [] {
         ASSERT_FALSE(fake::events().empty());
         EXPECT_EQ(fake::events()[0].strings[1],
                   "VYR IPMI ASR: the BMC's watchdog ran out since its expiration flags were last "
                   "cleared: the health check HealthCommand had failed for its grace, and the "
                   "service withheld the timer's resets from 2026-12-01 00:00:00 UTC. That check "
                   "only reports until it has passed once.");
       }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    fake::end_process();
    fake::reset();
    reset_system_state();
    report_times.clear();
    record_named_check = false;
    timeout_seconds = 255;
    row.setup();
    fake::at(400000, [&] {
      TimerRecord record;
      record_named_check = timer_record_read(&record) && record.reason == kWithheldByHealth &&
                           std::string(record.check) == "HealthCommand";
    });
    fake::send_control(row.stop_ms, SERVICE_CONTROL_STOP, 0);
    run();
    std::vector<DWORD> ids;
    for (const fake::Event &e : fake::events()) ids.push_back(e.id);
    EXPECT_EQ(ids, row.ids);
    EXPECT_EQ(fake::bmc().expiries.size(), row.expiries);
    char stopped[64];
    snprintf(stopped, sizeof stopped, "STOPPED cp=0 hint=0 accept=0x141 exit=0x%x",
             static_cast<unsigned>(row.exit_code));
    EXPECT_EQ(reports().back(), stopped) << "a withholding not ended tells how the service ends";
    EXPECT_FALSE(fake::bmc().watchdog.running()) << "an orderly stop disarms as always";
    if (row.check) row.check();
  }
}

}  // namespace
