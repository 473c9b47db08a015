#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli_run.h"
#include "service/status.h"
#include "watchdog/timer_record.h"
#include "world.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StrEq;

namespace {

const char *const NOT_INSTALLED =
    "OpenService failed - The specified service does not exist as an installed service. "
    "(0x424)\n";

class RemoveQuery : public World {
 protected:
  std::string remove() { return output_of(remove_service); }
  std::string query() { return output_of(query_service); }
  void expect_handles_closed_in_order() {
    EXPECT_THAT(fake::journal("CloseServiceHandle"),
                ElementsAre("CloseServiceHandle service1", "CloseServiceHandle scm1"));
    EXPECT_EQ(fake::open_handles("scm"), 0);
    EXPECT_EQ(fake::open_handles("service"), 0);
  }
};

TEST_F(RemoveQuery, RemovingAStoppedServicePrintsOnlyTheRemovedLine) {
  add_installed(SERVICE_STOPPED);
  EXPECT_THAT(remove(), StrEq(DISPLAY " removed.\n"));
  EXPECT_THAT(fake::journal("Sleep"), IsEmpty());
  // Deleted once its last handle closed.
  EXPECT_THAT(fake::services(), IsEmpty());
  expect_handles_closed_in_order();
}

// A timer the stopped service left running (a crash, a refused disable, a
// shutdown) is disarmed when the record names it, and only then.
TEST_F(RemoveQuery, RemovingAStoppedServiceDisarmsTheTimerItLeftRunning) {
  const BYTE enable[] = {0x44, 0x01, 0x00, 0x10, 0xF6, 0x09};
  struct Row {
    const char *what;
    WORD running_count;  // 0: the timer is stopped
    DWORD open_status;
    std::string output;
    bool running_after, record_after;
  } rows[] = {
      {"running as recorded", 2550, 0,
       "The timer that " DISPLAY " left running is disarmed.\n" DISPLAY " removed.\n", false,
       false},
      {"stopped", 0, 0, DISPLAY " removed.\n", false, false},
      {"another agent's", 3000, 0, DISPLAY " removed.\n", true, false},
      {"no session", 2550, 1,
       "The timer that " DISPLAY " left running may still be armed - The device is not ready. "
       "(0x15)\n" DISPLAY " removed.\n",
       true, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    fake::reset();
    reset_system_state();
    fake::set_message(ERROR_NOT_READY, "The device is not ready.\r\n");
    add_installed(SERVICE_STOPPED);
    timer_record_write(enable, kArmedWhileRunning);
    if (row.running_count != 0)
      fake::bmc().watchdog.start_running(ipmi::kUseSmsOs, ipmi::kActionHardReset, row.running_count,
                                         0);
    fake::bmc().open_status = row.open_status;
    EXPECT_EQ(remove(), row.output);
    EXPECT_EQ(fake::bmc().watchdog.running(), row.running_after);
    TimerRecord record;
    EXPECT_EQ(timer_record_read(&record), row.record_after);
    EXPECT_EQ(fake::library_refcount(), 0);
  }
}

TEST_F(RemoveQuery, RemovingARunningServiceWaitsOutTheStop) {
  add_installed(SERVICE_RUNNING).stop_pending_queries = 3;
  EXPECT_THAT(remove(),
              StrEq("Stopping " DISPLAY "....\n" DISPLAY " stopped.\n" DISPLAY " removed.\n"));
  EXPECT_THAT(fake::journal("QueryServiceStatus"), SizeIs(4));
  EXPECT_THAT(fake::journal("Sleep"), SizeIs(4));
  EXPECT_EQ(fake::now(), 4000u);
  EXPECT_EQ(status_record.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_THAT(fake::services(), IsEmpty());
  expect_handles_closed_in_order();
}

TEST_F(RemoveQuery, StopWaitIsBoundedAndTheDeleteGoesAhead) {
  add_installed(SERVICE_RUNNING).stop_pending_queries = 1000;
  std::string out = remove();
  EXPECT_THAT(out, StrEq("Stopping " DISPLAY "." + std::string(59, '.') + DISPLAY " removed.\n"));
  EXPECT_THAT(fake::journal("QueryServiceStatus"), SizeIs(60));
  EXPECT_EQ(fake::now(), 60000u) << "the wait is bounded at one minute";
  EXPECT_THAT(fake::journal("DeleteService"), ElementsAre("DeleteService vyrq4asr"));
  // Marked, and gone once it stops.
  EXPECT_TRUE(fake::services()["vyrq4asr"].marked_for_delete);
  expect_handles_closed_in_order();
}

TEST_F(RemoveQuery, ServiceStoppedAtOnceStillPrintsTheStoppedLine) {
  add_installed(SERVICE_RUNNING).stop_pending_queries = 0;
  EXPECT_THAT(remove(),
              StrEq("Stopping " DISPLAY ".\n" DISPLAY " stopped.\n" DISPLAY " removed.\n"));
}

TEST_F(RemoveQuery, StopWithANonZeroExitCodeSaysTheTimerMayBeArmed) {
  struct Row {
    DWORD exit_code;
    const char *text;
  } rows[] = {{ERROR_IO_DEVICE,
               "The request could not be performed because of an I/O device "
               "error. (0x45d)"},
              {0xE0010002, "the service did not finish in order (0xe0010002)"}};
  for (const Row &row : rows) {
    fake::reset();
    reset_system_state();
    add_installed(SERVICE_RUNNING).exit_code = row.exit_code;
    EXPECT_THAT(remove(), StrEq("Stopping " DISPLAY "...\n" DISPLAY " stopped.\n" DISPLAY
                                " stopped, but the timer may still be armed - " +
                                std::string(row.text) + "\n" DISPLAY " removed.\n"));
  }
}

TEST_F(RemoveQuery, RemovingAStartingServiceMarksItWithoutAStop) {
  // A starting service takes neither a stop nor an interrogate.
  add_installed(SERVICE_START_PENDING);
  ProgramRun run = run_program({"-remove"});
  EXPECT_THAT(run.out, StrEq(DISPLAY " removed.\nPress any key to continue.\n"));
  EXPECT_THAT(fake::journal("ControlService"),
              ElementsAre("ControlService service1 1 failed=1061"));
  EXPECT_EQ(saved_error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_THAT(fake::journal("QueryServiceStatus"), IsEmpty());
  EXPECT_THAT(fake::journal("DeleteService"), ElementsAre("DeleteService vyrq4asr"));
  EXPECT_THAT(fake::journal("service vyrq4asr deleted"), IsEmpty())
      << "a service is deleted only once it has stopped";
  EXPECT_TRUE(fake::services()["vyrq4asr"].marked_for_delete);
  EXPECT_THAT(query(), IsEmpty());
  EXPECT_THAT(fake::journal("ControlService").back(),
              StrEq("ControlService service2 4 failed=1061"));
}

TEST_F(RemoveQuery, RemovingWithNoneInstalledNamesError1060) {
  EXPECT_THAT(remove(), StrEq(NOT_INSTALLED));
  EXPECT_EQ(saved_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_THAT(fake::journal("CloseServiceHandle"), ElementsAre("CloseServiceHandle scm1"));
  EXPECT_EQ(fake::open_handles("scm"), 0);
}

TEST_F(RemoveQuery, FailedDeleteIsReportedAndHandlesClosed) {
  add_installed(SERVICE_STOPPED).marked_for_delete = true;
  EXPECT_THAT(remove(),
              StrEq("DeleteService failed - The specified service has been marked for deletion. "
                    "(0x430)\n"));
  expect_handles_closed_in_order();
}

TEST_F(RemoveQuery, QuietRemovalPrintsNothingButSavesTheError) {
  verbose = 0;
  EXPECT_THAT(remove(), IsEmpty());
  EXPECT_EQ(saved_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  add_installed(SERVICE_RUNNING);
  EXPECT_THAT(remove(), IsEmpty());
  EXPECT_THAT(fake::services(), IsEmpty());
}

TEST_F(RemoveQuery, QuerySendsInterrogateAndPrintsNothing) {
  add_installed(SERVICE_RUNNING);
  EXPECT_THAT(query(), IsEmpty());
  EXPECT_THAT(fake::journal("ControlService"), ElementsAre("ControlService vyrq4asr 4 -> state=4"));
  expect_handles_closed_in_order();
}

TEST_F(RemoveQuery, QueryIgnoresARefusedInterrogate) {
  add_installed(SERVICE_STOPPED);
  EXPECT_THAT(query(), IsEmpty());
  EXPECT_THAT(fake::journal("ControlService"), ElementsAre(EndsWith("failed=1062")));
  expect_handles_closed_in_order();
}

TEST_F(RemoveQuery, QueryWithNoneInstalled) {
  EXPECT_THAT(query(), StrEq(NOT_INSTALLED));
  EXPECT_THAT(fake::journal("ControlService"), IsEmpty());
}

}  // namespace
