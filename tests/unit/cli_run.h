// Running the front end as a process would, with its console output captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/front_end.h"
#include "fake.h"

#define DISPLAY "VYR Automatic Server Restart Service for IPMI"
#define DESTINATION "C:\\windows\\system32\\VYRIASRW.EXE"

struct ProgramRun {
  int status;
  std::string out;
};

// Runs front_end with the program path and these arguments.
inline ProgramRun run_program(std::vector<std::string> args) {
  args.insert(args.begin(), "C:\\Tools\\vyriasrw.exe");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int status = front_end(static_cast<int>(args.size()), argv.data());
  return ProgramRun{status, testing::internal::GetCapturedStdout()};
}

// Runs a command routine with its console output captured.
template <typename F>
std::string output_of(F command) {
  testing::internal::CaptureStdout();
  command();
  return testing::internal::GetCapturedStdout();
}

// An earlier installation: the service in this state, its copy in place.
inline fake::InstalledService &add_installed(DWORD state) {
  fake::InstalledService old;
  old.display_name = DISPLAY;
  old.image_path = DESTINATION " 600";
  old.service_type = 0x110;
  old.state = state;
  fake::files()[DESTINATION] = fake::File{FILE_ATTRIBUTE_NORMAL, "old copy"};
  return fake::services()["vyrq4asr"] = old;
}
