#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/event_source.h"
#include "cli/service_config.h"
#include "cli_run.h"
#include "service/trace.h"
#include "world.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::Field;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StrEq;

namespace {

const char *const INSTALLED = DISPLAY " installed and started.\n";
const char *const REMOVING = "Removing existing version of service\n";
const char *const UNABLE = "Unable to install " DISPLAY " - ";
const char *const NOT_FOUND = "VYR IPMI library layer not found.\n";
// After the two refusal lines: the file looked for and the copy to make.
std::string looked_for(const std::string &folder) {
  std::string path = folder + "\\vyrqd4w.dll";
  return "Looked for " + path + ": the service loads its library from there only.\n" +
         "Copy the BMC maker's 32-bit vyrqd4w.dll there first: copy vyrqd4w.dll \"" + path + "\"\n";
}
const char *const SYSTEM32 = "C:\\windows\\system32";
const char *const IN_USE =
    "The process cannot access the file because it is being used by another process. (0x20)\n";
const char *const TOO_LONG = "The filename or extension is too long. (0xce)\n";
const char *const START_TIMEOUT =
    "The service did not respond to the start or control request in a timely fashion. (0x41d)";
const DWORD READ_ONLY = 0x01;

class Install : public World {
 protected:
  std::string install(const char *timeout_text) {
    return output_of([&] { install_service(timeout_text); });
  }
  bool copied() {
    auto it = fake::files().find(DESTINATION);
    return it != fake::files().end() && it->second.content == fake::files()[MODULE].content;
  }
  void expect_handles_closed() {
    EXPECT_EQ(fake::open_handles("scm"), 0);
    EXPECT_EQ(fake::open_handles("service"), 0);
    EXPECT_EQ(fake::open_handles("find"), 0);
  }
  static constexpr const char *MODULE = "C:\\Tools\\vyriasrw.exe";
};

TEST_F(Install, CreatesAndStartsTheServiceWithTheTimeoutText) {
  EXPECT_THAT(install("300"), StrEq(INSTALLED));
  ASSERT_EQ(fake::services().count("vyrq4asr"), 1u);
  const fake::InstalledService &s = fake::services()["vyrq4asr"];
  EXPECT_THAT(s.image_path, StrEq(DESTINATION " 300"));
  EXPECT_THAT(s.display_name, StrEq(DISPLAY));
  EXPECT_EQ(s.access, 0xF01FFu);
  EXPECT_EQ(s.service_type, 0x110u);
  EXPECT_EQ(s.start_type, 2u);
  EXPECT_EQ(s.error_control, 1u);
  EXPECT_TRUE(s.dependencies_empty);
  EXPECT_TRUE(s.account_null && s.password_null && s.group_null && s.tag_null);
  EXPECT_EQ(s.state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(copied());
  EXPECT_THAT(fake::journal("OpenSCManagerA"),
              ElementsAre("OpenSCManagerA access=0xf003f -> scm1"));
  EXPECT_THAT(fake::journal("CloseServiceHandle"),
              ElementsAre("CloseServiceHandle service1", "CloseServiceHandle scm1"));
  // The probe stays loaded.
  EXPECT_THAT(fake::journal("FreeLibrary"), IsEmpty());
  expect_handles_closed();
  // The event source in the System log names the installed copy's message
  // table, for errors, warnings and information entries; written before the
  // start, so that the service's first entry finds it.
  const auto &source = fake::registry()[EVENT_SOURCE_KEY];
  ASSERT_EQ(source.count("EventMessageFile"), 1u);
  EXPECT_EQ(source.at("EventMessageFile").type, static_cast<DWORD>(REG_EXPAND_SZ));
  const std::vector<BYTE> &file = source.at("EventMessageFile").data;
  EXPECT_THAT(std::string(file.begin(), file.end()), StrEq(std::string(DESTINATION) + '\0'));
  ASSERT_EQ(source.count("TypesSupported"), 1u);
  EXPECT_EQ(source.at("TypesSupported").type, static_cast<DWORD>(REG_DWORD));
  EXPECT_THAT(source.at("TypesSupported").data, ElementsAre(7, 0, 0, 0));
  EXPECT_EQ(fake::open_handles("regkey"), 0);
  std::vector<std::string> calls = fake::journal();
  auto at = [&](const std::string &prefix) {
    for (size_t i = 0; i < calls.size(); i++)
      if (calls[i].rfind(prefix, 0) == 0) return i;
    return calls.size();
  };
  EXPECT_LT(at("CreateServiceA"), at("RegCreateKeyExA"));
  EXPECT_LT(at("RegCloseKey"), at("StartServiceA"));
  // Description and recovery right after the creation: restart after 10 s,
  // then 60 s for every later crash, the count reset after a day; a stop the
  // service reports itself is never restarted.
  EXPECT_THAT(s.description, StrEq(SERVICE_DESCRIPTION_TEXT));
  EXPECT_THAT(s.description, ::testing::HasSubstr("Stopping the service disarms the timer."));
  ASSERT_THAT(s.failure_actions, SizeIs(2));
  EXPECT_EQ(s.failure_actions[0].Type, SC_ACTION_RESTART);
  EXPECT_EQ(s.failure_actions[0].Delay, 10000u);
  EXPECT_EQ(s.failure_actions[1].Type, SC_ACTION_RESTART);
  EXPECT_EQ(s.failure_actions[1].Delay, 60000u);
  EXPECT_EQ(s.failure_reset_period, 86400u);
  EXPECT_TRUE(s.reboot_message.empty() && s.failure_command.empty());
  EXPECT_FALSE(s.failure_actions_on_non_crash_failures);
  EXPECT_THAT(fake::journal("ChangeServiceConfig2A"),
              ElementsAre("ChangeServiceConfig2A vyrq4asr level=1",
                          "ChangeServiceConfig2A vyrq4asr level=2"));
  EXPECT_LT(at("CreateServiceA"), at("ChangeServiceConfig2A"));
  EXPECT_LT(at("ChangeServiceConfig2A"), at("StartServiceA"));
}

TEST_F(Install, RecoveryNotRegisteredIsSaidAndTheInstallGoesOn) {
  // Either call refused: said once, in the usual frame; the other is still made.
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    fake::reset();
    reset_system_state();
    fake::fail("ChangeServiceConfig2A", nth, ERROR_ACCESS_DENIED);
    EXPECT_THAT(install("300"), StrEq("ChangeServiceConfig2 failed - Access is denied. (0x5)\n" +
                                      std::string(INSTALLED)));
    const fake::InstalledService &s = fake::services()["vyrq4asr"];
    EXPECT_EQ(s.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(s.description.empty(), nth == 1);
    EXPECT_EQ(s.failure_actions.empty(), nth == 2);
  }
}

TEST_F(Install, RecoveryNeedsStartAccessAsWindowsChecksIt) {
  // As the package's custom action opens the service: with change-config
  // alone the restart actions are refused (5) and the description kept.
  add_installed(SERVICE_STOPPED);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  for (DWORD access : {SERVICE_CHANGE_CONFIG, SERVICE_CHANGE_CONFIG | SERVICE_START}) {
    SCOPED_TRACE(access);
    SC_HANDLE service = OpenServiceA(manager, "vyrq4asr", access);
    SetLastError(0);
    BOOL ok = set_description_and_recovery(service);
    EXPECT_EQ(ok, access & SERVICE_START ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(),
              access & SERVICE_START ? 0u : static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(fake::services()["vyrq4asr"].failure_actions,
                SizeIs(access & SERVICE_START ? 2u : 0u));
    EXPECT_THAT(fake::services()["vyrq4asr"].description, StrEq(SERVICE_DESCRIPTION_TEXT));
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

TEST_F(Install, AnEventSourceNotRegisteredIsSaidAndTheInstallGoesOn) {
  fake::fail("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  fake::set_message(ERROR_ACCESS_DENIED, "Access is denied.\r\n");
  EXPECT_THAT(install("300"),
              StrEq(std::string("Event log source not registered - Access is denied. (0x5)\n") +
                    INSTALLED));
  EXPECT_EQ(fake::services()["vyrq4asr"].state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(fake::registry().count(EVENT_SOURCE_KEY), 0u);
}

TEST_F(Install, ImagePathWithoutTimeoutIsTheDestinationAlone) {
  EXPECT_THAT(install(nullptr), StrEq(INSTALLED));
  EXPECT_THAT(fake::services()["vyrq4asr"].image_path, StrEq(DESTINATION));
}

TEST_F(Install, QuotesADestinationWithABlank) {
  fake::set_system_directory("C:\\Program Files\\sys");
  EXPECT_THAT(install("300"), StrEq(INSTALLED));
  EXPECT_THAT(fake::services()["vyrq4asr"].image_path,
              StrEq("\"C:\\Program Files\\sys\\VYRIASRW.EXE\" 300"));
  EXPECT_EQ(fake::files().count("C:\\Program Files\\sys\\VYRIASRW.EXE"), 1u);
}

TEST_F(Install, OverARunningInstallationStopsAndRemovesItFirst) {
  add_installed(SERVICE_RUNNING);
  EXPECT_THAT(
      install("300"),
      StrEq(std::string(REMOVING) +
            "Stopping " DISPLAY "...\n" DISPLAY " stopped.\n" DISPLAY " removed.\n" + INSTALLED));
  std::vector<std::string> copies = fake::journal("CopyFileA");
  ASSERT_THAT(copies, SizeIs(2));
  EXPECT_THAT(copies[0], ::testing::EndsWith("failed=32"));
  EXPECT_THAT(copies[1], ::testing::Not(::testing::HasSubstr("failed")));
  EXPECT_THAT(fake::journal("CreateServiceA"), SizeIs(1));
  EXPECT_THAT(fake::services()["vyrq4asr"].image_path, StrEq(DESTINATION " 300"));
  EXPECT_TRUE(copied());
  expect_handles_closed();
}

TEST_F(Install, OverAStartingInstallationFailsWhileItsImageIsInUse) {
  // A starting service takes no stop, so its process keeps the image open:
  // the removal only marks it for deletion, and the copy fails again.
  add_installed(SERVICE_START_PENDING);
  ProgramRun run = run_program({"-install", "300"});
  EXPECT_THAT(run.out, StrEq(std::string(REMOVING) + DISPLAY " removed.\n" + UNABLE + IN_USE +
                             "Press any key to continue.\n"));
  EXPECT_THAT(fake::journal("CopyFileA"),
              ElementsAre(EndsWith("failed=32"), EndsWith("failed=32")));
  EXPECT_THAT(fake::journal("ControlService"),
              ElementsAre("ControlService service1 1 failed=1061"));
  EXPECT_THAT(fake::journal("QueryServiceStatus"), IsEmpty());
  EXPECT_THAT(fake::journal("CreateServiceA"), IsEmpty());
  const fake::InstalledService &s = fake::services()["vyrq4asr"];
  EXPECT_TRUE(s.marked_for_delete) << "deleted only once it has stopped";
  EXPECT_EQ(s.state, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_THAT(fake::files()[DESTINATION].content, StrEq("old copy"));
  expect_handles_closed();
}

TEST_F(Install, OverARunningInstallationWhoseProcessOutlivesItsStoppedReport) {
  // The retried copy follows the STOPPED report at once; a process still
  // ending then holds the image, and the installation fails.
  add_installed(SERVICE_RUNNING).process_exit_ms = 500;
  EXPECT_THAT(install("300"),
              StrEq(std::string(REMOVING) +
                    "Stopping " DISPLAY "...\n" DISPLAY " stopped.\n" DISPLAY " removed.\n" +
                    UNABLE + IN_USE));
  EXPECT_THAT(fake::services(), IsEmpty());
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(DESTINATION)) << "the image stays in use until the process has ended";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // Once the process has gone, installing again succeeds.
  Sleep(500);
  EXPECT_THAT(install("300"), StrEq(INSTALLED));
  EXPECT_TRUE(copied());
}

TEST_F(Install, OverAStoppedInstallationRecreatesTheService) {
  add_installed(SERVICE_STOPPED);
  EXPECT_THAT(install(nullptr), StrEq(std::string(REMOVING) + DISPLAY " removed.\n" + INSTALLED));
  EXPECT_THAT(fake::journal("CreateServiceA"),
              ElementsAre(::testing::EndsWith("failed=1073"), ::testing::EndsWith("-> service2")));
  EXPECT_THAT(fake::journal("ControlService"), ElementsAre(::testing::EndsWith("failed=1062")));
  EXPECT_THAT(fake::services()["vyrq4asr"].image_path, StrEq(DESTINATION));
  EXPECT_TRUE(copied());
  expect_handles_closed();
}

TEST_F(Install, ReplacesAReadOnlyEarlierCopy) {
  fake::files()[DESTINATION] = fake::File{READ_ONLY, "old copy"};
  EXPECT_THAT(install(nullptr), StrEq(INSTALLED));
  EXPECT_TRUE(copied());
}

TEST_F(Install, SilentWithoutLibraryPrintsAndInstallsNothing) {
  fake::bmc().library_present = false;
  ProgramRun run = run_program({"-install", "-n", "300"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(fake::services(), IsEmpty());
  EXPECT_THAT(fake::journal("CopyFileA"), IsEmpty());
  EXPECT_EQ(saved_error, 126u);
}

TEST_F(Install, FailedLibraryLoadNamesTheSystemText) {
  fake::bmc().library_present = false;
  EXPECT_THAT(install("300"),
              StrEq("VYR IPMI library layer not found.\n" + std::string(UNABLE) +
                    "The specified module could not be found. (0x7e)\n" + looked_for(SYSTEM32)));
  EXPECT_THAT(fake::services(), IsEmpty());
  // Under WOW64 the 32-bit service's folder: SysWOW64, named as it is.
  fake::set_wow64(true);
  EXPECT_THAT(install("300"), ::testing::EndsWith(looked_for("C:\\windows\\SysWOW64")));
}

TEST_F(Install, ErrorWithoutSystemTextLeavesTheSeparatorAndLineEnd) {
  fake::bmc().library_present = false;
  fake::remove_message(126);
  EXPECT_THAT(install(nullptr), StrEq("VYR IPMI library layer not found.\n" + std::string(UNABLE) +
                                      "\n" + looked_for(SYSTEM32)));
}

TEST_F(Install, ErrorWithTextOver242CharactersLeavesTheSeparatorAndLineEnd) {
  fake::fail("CopyFileA", 1, 0x20000020);
  fake::set_message(0x20000020, std::string(241, 'e') + "\r\n");
  EXPECT_THAT(install(nullptr), StrEq(std::string(UNABLE) + "\n"));
  EXPECT_THAT(fake::services(), IsEmpty());
}

TEST_F(Install, TimeoutTextUpToTheBufferIsTaken) {
  // The image path buffer holds 520 bytes: 32 for the destination, a blank,
  // 486 for the text and the NUL.
  std::string longest(486, '7');
  EXPECT_THAT(install(longest.c_str()), StrEq(INSTALLED));
  EXPECT_THAT(fake::services()["vyrq4asr"].image_path, StrEq(DESTINATION " " + longest));
}

TEST_F(Install, TooLongTimeoutTextIsRefusedBeforeAnythingChanges) {
  for (size_t length : {487u, 5000u}) {
    SCOPED_TRACE(length);
    std::string text(length, '7');
    EXPECT_THAT(install(text.c_str()), StrEq(std::string(UNABLE) + TOO_LONG));
    EXPECT_THAT(fake::services(), IsEmpty());
    EXPECT_THAT(fake::journal("CopyFileA"), IsEmpty());
    EXPECT_THAT(fake::journal("OpenSCManagerA"), IsEmpty());
  }
}

TEST_F(Install, QuotesCountAgainstTheBuffer) {
  // A destination of 33 characters leaves room for 485 unquoted, for 483 with
  // its two quotes.
  fake::set_system_directory("C:\\Program Files\\sys");
  std::string text(484, '7');
  EXPECT_THAT(install(text.c_str()), StrEq(std::string(UNABLE) + TOO_LONG));
  text.pop_back();
  EXPECT_THAT(install(text.c_str()), StrEq(INSTALLED));
}

TEST_F(Install, TooLongDestinationIsRefused) {
  // Fits the system directory buffer, but not with "\VYRIASRW.EXE" added.
  fake::set_system_directory("C:\\" + std::string(504, 'd'));
  EXPECT_THAT(install(nullptr), StrEq(std::string(UNABLE) + TOO_LONG));
  // A system directory too long for its own buffer: the library cannot be
  // named there either.
  fake::set_system_directory("C:\\" + std::string(600, 'd'));
  EXPECT_THAT(install(nullptr), StrEq(std::string(NOT_FOUND) + UNABLE + TOO_LONG));
  EXPECT_THAT(fake::journal("CopyFileA"), IsEmpty());
  EXPECT_THAT(fake::services(), IsEmpty());
}

TEST_F(Install, DestinationUpToTheBufferIsTaken) {
  std::string directory = "C:\\" + std::string(503, 'd');  // 506 + 13 = 519 and the NUL
  fake::set_system_directory(directory);
  EXPECT_THAT(install(nullptr), StrEq(INSTALLED));
  EXPECT_THAT(fake::services()["vyrq4asr"].image_path, StrEq(directory + "\\VYRIASRW.EXE"));
}

TEST_F(Install, OwnPathTooLongIsRefused) {
  std::string path = "C:\\" + std::string(600, 'p') + "\\vyriasrw.exe";
  fake::set_module_path(path);
  fake::files()[path] = fake::File{};
  EXPECT_THAT(install(nullptr), StrEq(std::string(UNABLE) + TOO_LONG));
  EXPECT_THAT(fake::journal("CopyFileA"), IsEmpty());
}

TEST_F(Install, FailingPathQueriesAreReported) {
  // An install asks for the system folder twice, the probe's and its own;
  // the first install ends before its second.
  fake::fail("GetModuleFileNameA", 1, ERROR_ACCESS_DENIED);
  fake::fail("GetSystemDirectoryA", 2, ERROR_PATH_NOT_FOUND);
  fake::fail("GetSystemDirectoryA", 5, ERROR_INVALID_PARAMETER);
  EXPECT_THAT(install(nullptr), StrEq(std::string(UNABLE) + "Access is denied. (0x5)\n"));
  // The path after the refusal asks again (the third time).
  EXPECT_THAT(install(nullptr),
              StrEq(std::string(NOT_FOUND) + UNABLE +
                    "The system cannot find the path specified. (0x3)\n" + looked_for(SYSTEM32)));
  EXPECT_THAT(install(nullptr),
              StrEq(std::string(UNABLE) + "The parameter is incorrect. (0x57)\n"));
  EXPECT_THAT(fake::journal("CopyFileA"), IsEmpty());
}

TEST_F(Install, MissingSourceEndsSilently) {
  fake::set_module_path("C:\\gone\\vyriasrw.exe");
  EXPECT_THAT(install("300"), IsEmpty());
  EXPECT_THAT(fake::journal("CopyFileA"), IsEmpty());
  EXPECT_THAT(fake::services(), IsEmpty());
}

TEST_F(Install, UnderWow64TheImagePathNamesSysWow64) {
  // The 32-bit system32 is SysWOW64 on disk; the 64-bit service manager
  // reads the image path as written.
  fake::set_wow64(true);
  EXPECT_THAT(install("300"), StrEq(INSTALLED));
  const fake::InstalledService &s = fake::services()["vyrq4asr"];
  EXPECT_THAT(s.image_path, StrEq("C:\\windows\\SysWOW64\\VYRIASRW.EXE 300"));
  EXPECT_EQ(s.state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(fake::files().count("C:\\windows\\SysWOW64\\VYRIASRW.EXE"), 1u);
  EXPECT_THAT(
      fake::journal("LoadLibraryExA"),
      ElementsAre(::testing::StartsWith("LoadLibraryExA C:\\windows\\SysWOW64\\vyrqd4w.dll ")));
}

TEST_F(Install, ProbeChecksTheSystemFoldersLibraryWhateverLiesBesideTheInstaller) {
  // Run from a download folder that holds a vyrqd4w.dll, with more on PATH
  // and in the current folder: none is loaded (the fake records loading one
  // as a violation).
  const char *kDownloads = "C:\\Users\\admin\\Downloads";
  for (bool present : {true, false}) {
    SCOPED_TRACE(present ? "library in the system folder" : "none in the system folder");
    fake::reset();
    reset_system_state();
    fake::bmc().library_present = present;
    fake::set_module_path(std::string(kDownloads) + "\\vyriasrw.exe");
    fake::files()[std::string(kDownloads) + "\\vyriasrw.exe"] = fake::File{};
    fake::files()[std::string(kDownloads) + "\\vyrqd4w.dll"] = fake::File{};
    fake::set_current_directory(kDownloads);
    fake::set_path_folders({"C:\\Tools"});
    fake::files()["C:\\Tools\\vyrqd4w.dll"] = fake::File{};
    EXPECT_THAT(install(nullptr),
                StrEq(present ? std::string(INSTALLED)
                              : std::string(NOT_FOUND) + UNABLE +
                                    "The specified module could not be found. (0x7e)\n" +
                                    looked_for(SYSTEM32)));
    EXPECT_EQ(fake::services().count("vyrq4asr"), present ? 1u : 0u);
    EXPECT_THAT(fake::violations(), IsEmpty());
  }
}

TEST_F(Install, CopyTracesGoToStandardOutput) {
  trace_enabled = 1;
  fake::fail("CopyFileA", 1, ERROR_ACCESS_DENIED);
  EXPECT_THAT(install("300"),
              StrEq("CopyFile source = >C:\\Tools\\vyriasrw.exe<\n"
                    "CopyFile dest = >" DESTINATION "<\n"
                    "CopyFile error on source file = >C:\\Tools\\vyriasrw.exe<, err = 5, 20, 21\n" +
                    std::string(UNABLE) + "Access is denied. (0x5)\n"));
}

}  // namespace
