#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli_run.h"
#include "service/trace.h"
#include "timeout_cases.h"
#include "watchdog/commands.h"
#include "watchdog/pretimeout.h"
#include "world.h"

using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StrEq;

namespace {

const char *const USAGE =
    "vyrq4asr -install          to install the service\n"
    "vyrq4asr -remove           to remove the service\n"
    "\n"
    "StartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";
const char *const PROMPT = "Press any key to continue.\n";
const char *const INSTALLED = DISPLAY " installed and started.\n";

class FrontEnd : public World {
 protected:
  // For one more case within a test: the last one's world must have been clean.
  void fresh_world() {
    fake::end_process();
    EXPECT_THAT(fake::violations(), IsEmpty());
    fake::reset();
    reset_system_state();
  }
  std::string image_path() { return fake::services().at("vyrq4asr").image_path; }
  // A process started from a console: the dispatcher refuses at once.
  ProgramRun run_service_path(std::vector<std::string> args) {
    fake::set_started_by_scm(false);
    return run_program(args);
  }
};

TEST(DecimalToInt32, ReadsSignAndDigitsAfterWhiteSpace) {
  EXPECT_EQ(decimal_to_int32("300"), 300);
  EXPECT_EQ(decimal_to_int32(" \t\n\v\f\r+300x"), 300);
  EXPECT_EQ(decimal_to_int32("-65286"), -65286);
  EXPECT_EQ(decimal_to_int32("0300"), 300);
  EXPECT_EQ(decimal_to_int32("2147483647"), 2147483647);
  EXPECT_EQ(decimal_to_int32("-2147483648"), INT32_MIN);
}

TEST(DecimalToInt32, GivesZeroWithoutDigits) {
  EXPECT_EQ(decimal_to_int32(""), 0);
  EXPECT_EQ(decimal_to_int32("abc"), 0);
  EXPECT_EQ(decimal_to_int32("+"), 0);
  EXPECT_EQ(decimal_to_int32("+-5"), 0);
  EXPECT_EQ(decimal_to_int32("- 5"), 0);
}

TEST(DecimalToInt32, WrapsAroundIn32BitsOnOverflow) {
  EXPECT_EQ(decimal_to_int32("2147483648"), INT32_MIN);
  EXPECT_EQ(decimal_to_int32("4294967296"), 0);
  EXPECT_EQ(decimal_to_int32("4294967596"), 300);
  EXPECT_EQ(decimal_to_int32("-4294967295"), 1);
  // 10^20 mod 2^32
  EXPECT_EQ(decimal_to_int32("100000000000000000000"), 1661992960);
}

TEST(TimeoutFromArgument, KeepsLow16BitsInRangeElse255) {
  for (const TimeoutCase &c : kTimeoutCases)
    EXPECT_EQ(timeout_from_argument(c.argument), c.seconds)
        << "argument [" << (c.argument ? c.argument : "(none)") << "]";
}

TEST_F(FrontEnd, CommandWordsIgnoreCaseAndTakeEitherIntroducer) {
  for (const char *word : {"-INSTALL", "/Install", "-install"}) {
    SCOPED_TRACE(word);
    fresh_world();
    ProgramRun run = run_program({word});
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out, StrEq(std::string(INSTALLED) + PROMPT));
    EXPECT_THAT(image_path(), StrEq(DESTINATION));
    EXPECT_THAT(fake::journal("_getch"), SizeIs(1));
  }
}

TEST_F(FrontEnd, NearCommandWordsTakeTheServicePath) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--install"}, {"-installx"}, {"-n", "-install"}, {"-"}, {"/"}, {"install"}}) {
    SCOPED_TRACE(args[0]);
    fresh_world();
    ProgramRun run = run_service_path(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, StrEq(USAGE));
    EXPECT_THAT(fake::services(), IsEmpty());
    EXPECT_THAT(fake::journal("LoadLibrary"), IsEmpty());
    EXPECT_THAT(fake::events(), SizeIs(1));
  }
}

TEST_F(FrontEnd, InstallQuietlyWithTimeout) {
  ProgramRun run = run_program({"-install", "-N", "300"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(image_path(), StrEq(DESTINATION " 300"));
  EXPECT_THAT(fake::journal("_getch"), IsEmpty());
}

TEST_F(FrontEnd, InstallQuietlyWithoutTimeout) {
  ProgramRun run = run_program({"-install", "-n"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(image_path(), StrEq(DESTINATION));
  EXPECT_THAT(fake::journal("_getch"), IsEmpty());
}

TEST_F(FrontEnd, QuietOptionCountsOnlyDirectlyAfterInstall) {
  ProgramRun run = run_program({"-install", "300", "-n"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, StrEq(std::string(INSTALLED) + PROMPT));
  EXPECT_THAT(image_path(), StrEq(DESTINATION " 300"));
  EXPECT_EQ(verbose, 1);
}

TEST_F(FrontEnd, ANumberAfterTheTimeoutIsThePretimeoutAnythingElseIsIgnored) {
  struct Case {
    std::vector<std::string> args;
    const char *image_path;
  };
  const std::vector<Case> cases = {
      {{"-install", "250", "95"}, DESTINATION " 250 95"},
      {{"-install", "-n", "250", "95", "7"}, DESTINATION " 250 95"},
      {{"-install", "abc", " -5x"}, DESTINATION " abc  -5x"},
      {{"-install", "300", "-n"}, DESTINATION " 300"},
      {{"-install", "300", "abc"}, DESTINATION " 300"},
      {{"-install", "300", "+"}, DESTINATION " 300"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    fresh_world();
    run_program(c.args);
    EXPECT_THAT(image_path(), StrEq(c.image_path));
  }
}

TEST_F(FrontEnd, TimeoutTextIsPassedOnUnchecked) {
  ProgramRun run = run_program({"-install", "abc", "ignored"});
  EXPECT_THAT(run.out, StrEq(std::string(INSTALLED) + PROMPT));
  EXPECT_THAT(image_path(), StrEq(DESTINATION " abc"));
  // Such a service runs with the default.
  EXPECT_EQ(timeout_from_argument("abc"), 255);
}

TEST_F(FrontEnd, TerminateActsAsRemove) {
  for (const char *word : {"-remove", "/TERMINATE"}) {
    SCOPED_TRACE(word);
    fresh_world();
    fake::InstalledService installed;
    installed.image_path = DESTINATION;
    installed.state = SERVICE_RUNNING;
    fake::services()["vyrq4asr"] = installed;
    ProgramRun run = run_program({word});
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out,
                StrEq("Stopping " DISPLAY "...\n" DISPLAY " stopped.\n" DISPLAY " removed.\n" +
                      std::string(PROMPT)));
    EXPECT_THAT(fake::services(), IsEmpty());
  }
}

TEST_F(FrontEnd, QueryPrintsOnlyThePromptAndReadsOneKey) {
  fake::InstalledService installed;
  installed.image_path = DESTINATION;
  installed.state = SERVICE_RUNNING;
  fake::services()["vyrq4asr"] = installed;
  fake::press_keys("q");
  ProgramRun run = run_program({"-query"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, StrEq(PROMPT));
  EXPECT_THAT(fake::journal("ControlService"), ElementsAre("ControlService vyrq4asr 4 -> state=4"));
  EXPECT_THAT(fake::journal("_getch"), ElementsAre("_getch -> 113"));
}

TEST_F(FrontEnd, CommandPathEndsWithZeroWhateverTheOutcome) {
  ProgramRun run = run_program({"-remove"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out,
              StrEq("OpenService failed - The specified service does not exist as an installed "
                    "service. (0x424)\n" +
                    std::string(PROMPT)));
}

TEST_F(FrontEnd, ServicePathFromConsoleLogsTheDispatcherFailure) {
  ProgramRun run = run_service_path({});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, StrEq(USAGE));
  EXPECT_EQ(timeout_seconds, 255);
  std::vector<fake::Event> events = fake::events();
  ASSERT_THAT(events, SizeIs(1));
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_THAT(events[0].strings,
              ElementsAre("vyrq4asr error: 1063", "StartServiceCtrlDispatcher failed."));
}

TEST_F(FrontEnd, ServicePathSetsTheTimeoutFromTheFirstArgument) {
  struct Case {
    std::vector<std::string> args;
    WORD seconds;
    WORD pretimeout = 0;  // converted as the timeout, judged at start
  };
  const std::vector<Case> cases = {
      {{"250"}, 250},
      {{"3200"}, 3200},
      {{"249"}, 255},
      {{"3201"}, 255},
      {{"0"}, 255},
      {{"abc"}, 255},
      {{}, 255},
      {{" +300x"}, 300},
      {{"65836"}, 300},
      {{"-65286"}, 250},
      {{"300", "9"}, 300, 9},
      {{"abc", " +95x", "7"}, 255, 95},
      {{"250", "65631"}, 250, 95},
      {{"250", "-n"}, 250, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    fresh_world();
    timeout_seconds = 1;
    // The argument vector lives only as long as the run.
    std::string pretimeout_text = "(none)";
    fake::before("StartServiceCtrlDispatcherA", 1, [&] {
      if (pretimeout_argument) pretimeout_text = pretimeout_argument;
    });
    ProgramRun run = run_service_path(c.args);
    EXPECT_THAT(timeout_seconds, Eq(c.seconds));
    EXPECT_THAT(run.out, StrEq(USAGE));
    EXPECT_THAT(pretimeout_text, StrEq(c.args.size() < 2 ? "(none)" : c.args[1]));
    EXPECT_EQ(pretimeout_requested, c.pretimeout);
  }
}

TEST_F(FrontEnd, ServicePathHandsTheTableToTheDispatcher) {
  fake::set_started_by_scm(true);
  fake::send_control(60000, SERVICE_CONTROL_STOP, 0);
  ProgramRun run = run_program({"300"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(timeout_seconds, 300);
  EXPECT_THAT(run.out, StrEq(USAGE));
  EXPECT_THAT(
      fake::journal("StartServiceCtrlDispatcherA"),
      ElementsAre("StartServiceCtrlDispatcherA vyrq4asr", "StartServiceCtrlDispatcherA returns"));
  EXPECT_THAT(fake::events(), IsEmpty());
}

}  // namespace
