// One run of each health check on the fake Windows: the folder's write, the
// command in its job, the commit floor, and who may change what a command runs.
#include <functional>
#include <string>

#include "health/checks.h"
#include "world.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const char *const DATA = "C:\\data";
const char *const TOOLS = "C:\\tools";
const char *const CHECK = "C:\\tools\\check.exe";
const char *const SCRIPT = "C:\\tools\\check.cmd";
const char *const CMD = "C:\\windows\\system32\\cmd.exe";
const char *const SPACED = "C:\\Program Files\\Vendor\\check.exe";
const char *const USERS = "S-1-5-32-545";
const char *const BOB = "S-1-5-21-0-0-0-1001";
const char *const WINE_USER = "S-1-5-21-0-0-0-1000";
// 4 GiB of commit in 4 KiB pages; a MB is 256 of them.
const size_t GIB4_PAGES = 1 << 20;

// A run as the table states it: files_safe's answer is a pass or a failure.
CheckRun files_safe(const char *command_line) {
  CheckRun run = {};
  run.passed = health_command_files_safe(command_line, run.what, sizeof run.what);
  return run;
}

void grant(fake::Security &security, const char *sid, DWORD mask) {
  security.dacl.push_back({sid, mask});
}

fake::Security &folder(const char *path) { return fake::folders()[path].security; }

// Wine 8's files: the prefix's user owns each and has full control;
// Everyone may read and run.
fake::Security wine_security() {
  fake::Security s;
  s.owner = WINE_USER;
  s.dacl = {{WINE_USER, FILE_ALL_ACCESS}, {"S-1-1-0", 0x001200A9}};
  return s;
}

class HealthChecks : public World {};

TEST_F(HealthChecks, EachCheckPassesFailsOrCannotStartAsTheSystemBehaves) {
  struct Row {
    const char *name;
    std::function<void()> arrange;
    std::function<CheckRun()> run;
    bool passed, cannot_start;
    const char *what;  // a part of the text; "" when it passed
    uint64_t took_ms;
  } rows[] = {
      {"a folder that takes the write", [] { fake::folders()[DATA]; },
       [] { return health_write_folder(DATA); }, true, false, "", 0},
      {"a folder whose writes stall for 45 s: the caller bounds it",
       [] { fake::folders()[DATA].write_stall_ms = 45000; },
       [] { return health_write_folder(DATA); }, true, false, "", 45000},
      {"a full disk", [] { fake::folders()[DATA].full = true; },
       [] { return health_write_folder(DATA); }, false, false,
       "creating C:\\data\\vyrq4asr-health-4242.tmp failed (error 112)", 0},
      {"a folder that is gone", [] {}, [] { return health_write_folder("D:\\gone"); }, false, false,
       "(error 3)", 0},
      {"a command that exits 0 after 2 s",
       [] {
         fake::add_program(CHECK, {0, 2000});
       },
       [] { return health_run_command(CHECK, 60000); }, true, false, "", 2000},
      {"a command that exits 3",
       [] {
         fake::add_program(CHECK, {3, 100});
       },
       [] { return health_run_command(CHECK, 60000); }, false, false, "exit code 3", 100},
      {"a command that hangs with two children: the whole tree ends at the limit",
       [] {
         fake::add_program(CHECK, {0, 0, true, 2});
       },
       [] { return health_run_command(CHECK, 60000); }, false, false, "ran past its 60 s limit",
       60000},
      {"a command that passes and leaves a child running: the job ends it",
       [] {
         fake::add_program(CHECK, {0, 500, false, 1});
       },
       [] { return health_run_command(CHECK, 60000); }, true, false, "", 500},
      {"a program that is not there", [] {}, [] { return health_run_command(CHECK, 60000); }, false,
       true, "(error 2)", 0},
      {"a file that is not a program", [] { fake::files()[SCRIPT]; },
       [] { return health_run_command(SCRIPT, 60000); }, false, true, "(error 193)", 0},
      {"a relative program is never searched for", [] { fake::add_program(CHECK, {}); },
       [] { return health_run_command("check.exe -q", 60000); }, false, true, "full path", 0},
      {"an unquoted path with spaces is refused, not read as C:\\Program",
       [] { fake::add_program(SPACED, {}); },
       [] { return health_run_command("C:\\Program Files\\Vendor\\check.exe -q", 60000); }, false,
       true, "full path", 0},
      {"a quoted path with spaces",
       [] {
         fake::add_program(SPACED, {0, 10});
       },
       [] { return health_run_command("\"C:\\Program Files\\Vendor\\check.exe\" -q", 60000); },
       true, false, "", 10},
      {"available commit above the floor", [] { fake::set_commit(1000, 500, 4096); },
       [] { return health_commit(1); }, true, false, "", 0},
      {"available commit below the floor",
       [] { fake::set_commit(GIB4_PAGES, GIB4_PAGES - 412 * 256, 4096); },
       [] { return health_commit(512); }, false, false,
       "available commit 412 MB, below the 512 MB floor", 0},
      {"a program only administrators may change, in Windows' own C:\\",
       [] { fake::add_program(CHECK, {}); }, [] { return files_safe(CHECK); }, true, false, "", 0},
      {"a program that Users may write",
       [] {
         fake::add_program(CHECK, {});
         grant(fake::files()[CHECK].security, USERS, FILE_WRITE_DATA);
       },
       [] { return files_safe(CHECK); }, false, false,
       "C:\\tools\\check.exe: BUILTIN\\Users may change it", 0},
      {"a program whose folder Users may add files to",
       [] {
         fake::add_program(CHECK, {});
         grant(folder(TOOLS), USERS, FILE_ADD_FILE);
       },
       [] { return files_safe(CHECK); }, false, false, "C:\\tools: BUILTIN\\Users may change it",
       0},
      {"a program whose folder a user owns",
       [] {
         fake::add_program(CHECK, {});
         folder(TOOLS).owner = BOB;
       },
       [] { return files_safe(CHECK); }, false, false,
       "C:\\tools: its owner HOST\\bob may change it", 0},
      {"a program under a folder with no access list",
       [] {
         fake::add_program("C:\\tools\\sub\\check.exe", {});
         folder(TOOLS).null_dacl = true;
       },
       [] { return files_safe("C:\\tools\\sub\\check.exe"); }, false, false,
       "C:\\tools: Everyone may change it", 0},
      {"a script argument that a user may delete",
       [] {
         fake::add_program(CMD, {});
         fake::files()[SCRIPT];
         grant(fake::files()[SCRIPT].security, BOB, DELETE);
       },
       [] { return files_safe("C:\\windows\\system32\\cmd.exe /c \"C:\\tools\\check.cmd\""); },
       false, false, "C:\\tools\\check.cmd: HOST\\bob may change it", 0},
      {"Wine's prefix: its user owns everything and is an administrator",
       [] {
         fake::add_program(CHECK, {});
         fake::files()[CHECK].security = wine_security();
         folder(TOOLS) = wine_security();
         folder("C:\\") = wine_security();
       },
       [] { return files_safe(CHECK); }, true, false, "", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    fake::reset();
    row.arrange();
    uint64_t start = fake::now();
    CheckRun run = row.run();
    EXPECT_EQ(run.passed, row.passed) << run.what;
    EXPECT_EQ(run.cannot_start, row.cannot_start) << run.what;
    if (row.what[0]) {
      EXPECT_THAT(std::string(run.what), HasSubstr(row.what));
    } else {
      EXPECT_THAT(std::string(run.what), IsEmpty());
    }
    EXPECT_EQ(fake::now() - start, row.took_ms);
    // Nothing is left behind: no process, no handle, no file of the check's.
    EXPECT_EQ(fake::live_processes(), 0);
    for (const char *kind : {"file", "process", "thread", "job"})
      EXPECT_EQ(fake::open_handles(kind), 0) << kind;
    EXPECT_EQ(fake::files().count("C:\\data\\vyrq4asr-health-4242.tmp"), 0u);
    EXPECT_THAT(fake::violations(), IsEmpty());
  }
}

}  // namespace
