// Scripted health checks for whole service runs: what each check answers
// over virtual time, so that a row says when a check fails, hangs or passes.
#pragma once

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fake.h"
#include "health/monitor.h"
#include "health/settings.h"

namespace health_script {

enum Answer { kFail, kHang, kCannotStart, kUnsafe };
// Over [from_ms, to_ms) the check answers so; it passes outside every spell.
struct Spell {
  uint64_t from_ms, to_ms;
  Answer answer;
};
struct Script {
  std::vector<Spell> command, folder;
  bool repair_passes = true;
  bool repair_mends = false;  // the command passes from the repair's run on
  bool repaired = false;
  std::vector<uint64_t> command_runs, folder_runs, repair_runs;  // virtual times
  std::mutex lock;  // runs of two checks may answer at once
};
inline Script &script() {
  static Script s;
  return s;
}

inline const Spell *spell_now(const std::vector<Spell> &spells) {
  for (const Spell &s : spells)
    if (fake::now() >= s.from_ms && fake::now() < s.to_ms) return &s;
  return nullptr;
}

inline CheckRun answer(bool passed, const char *what) {
  CheckRun run{};
  run.passed = passed;
  snprintf(run.what, sizeof run.what, "%s", what);
  return run;
}

inline CheckRun command(const char *line, DWORD limit_ms) {
  Script &s = script();
  std::unique_lock<std::mutex> hold(s.lock);
  if (std::strstr(line, "repair")) {
    s.repair_runs.push_back(fake::now());
    s.repaired = s.repair_mends;
    return answer(s.repair_passes, s.repair_passes ? "" : "exit code 2");
  }
  s.command_runs.push_back(fake::now());
  const Spell *spell = s.repaired ? nullptr : spell_now(s.command);
  if (!spell) return answer(true, "");
  if (spell->answer == kHang) {
    // The run bounds itself: the process tree is ended at the limit.
    hold.unlock();
    Sleep(limit_ms);
    return answer(false, "ran past its limit");
  }
  CheckRun run = answer(false, spell->answer == kCannotStart ? "file not found" : "exit code 1");
  run.cannot_start = spell->answer == kCannotStart;
  return run;
}

inline CheckRun folder(const char *) {
  std::unique_lock<std::mutex> hold(script().lock);
  script().folder_runs.push_back(fake::now());
  const Spell *spell = spell_now(script().folder);
  hold.unlock();
  if (!spell) return answer(true, "");
  // A stalled write returns when the storage does.
  if (spell->answer == kHang) Sleep(static_cast<DWORD>(spell->to_ms - fake::now()));
  return answer(false, "the write failed: error 21");
}

inline CheckRun commit(DWORD) { return answer(true, ""); }

inline bool program(const char *line, char *out, size_t size) {
  snprintf(out, size, "%s", line);
  return line[0] != '\0' && line[1] == ':';
}

inline bool files_safe(const char *, char *what, size_t size) {
  if (!spell_now(script().command) || spell_now(script().command)->answer != kUnsafe) return true;
  snprintf(what, size, "C:\\tools\\check.cmd: BUILTIN\\Users may change it");
  return false;
}

inline void set_text(const char *name, const std::string &text) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  fake::registry()[PARAMETERS_KEY][name] = fake::RegistryValue{REG_SZ, data};
}
inline void set_number(HealthNumber which, DWORD value) {
  fake::set_registry_dword(PARAMETERS_KEY, kHealthNumberSettings[which].value, value);
}

// The scripted checks in place of the system's, a fresh script, and the
// command check set with no start delay.
inline void install(const char *command_line = "C:\\tools\\check.cmd") {
  Script &s = script();
  s.command.clear();
  s.folder.clear();
  s.repair_passes = true;
  s.repair_mends = s.repaired = false;
  s.command_runs.clear();
  s.folder_runs.clear();
  s.repair_runs.clear();
  health_functions = HealthCheckFunctions{folder, command, commit, program, files_safe};
  if (command_line) set_text(HEALTH_COMMAND_VALUE, command_line);
  set_number(kStartDelay, 0);
}

}  // namespace health_script
