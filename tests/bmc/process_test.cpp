// The bmcsim executable itself: flags, the listen entry, SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "sim_harness.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(BmcsimProcess, ServesOnAFreePortAndStopsCleanlyOnSigterm) {
  const std::string journal = "/tmp/bmc_tests_proc_" + std::to_string(getpid()) + ".jsonl";
  std::remove(journal.c_str());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(BMCSIM_PATH, "bmcsim", "--port", "0", "--control-port", "0", "--journal", journal.c_str(),
          "--timer-running", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The listen entry names the ports it got.
  std::smatch m;
  std::string text;
  const std::regex listen("\"kind\":\"listen\",\"port\":([0-9]+),\"control_port\":([0-9]+)");
  for (int i = 0; i < 100 && !std::regex_search(text, m, listen); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    text = read_file(journal);
  }
  ASSERT_TRUE(std::regex_search(text, m, listen)) << "no listen entry in: " << text;
  int port = std::stoi(m[1]);

  bmctest::Host host;
  ASSERT_TRUE(host.connect(port));
  bmctest::Answer get = host.ask(0x25);
  ASSERT_EQ(8u, get.data.size());
  EXPECT_EQ(0x44, get.data[0]) << "--timer-running: got " << bmctest::hex(get.data);

  ASSERT_EQ(0, kill(pid, SIGTERM));
  int status = -1;
  pid_t done = 0;
  for (int i = 0; i < 100 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "bmcsim did not exit within 2 s of SIGTERM";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
  EXPECT_TRUE(host.await_closed(1000)) << "the host connection outlived bmcsim";
  text = read_file(journal);
  EXPECT_NE(std::string::npos, text.find("\"reason\":\"shutdown\"")) << text;
  EXPECT_NE(std::string::npos, text.find("\"kind\":\"shutdown\"")) << text;
  std::remove(journal.c_str());
}

}  // namespace
