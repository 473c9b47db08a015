#include "health/monitor.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "health/check_run.h"
#include "health/entries.h"
#include "health/passed_folders.h"
#include "health/settings.h"
#include "service/events.h"
#include "service/timing.h"

#define NAME_MAX (HEALTH_FOLDER_MAX + 32)
#define WHAT_MAX 256

struct Check {
  CheckKind kind;
  char name[NAME_MAX];  // "HealthFolder D:\data", "HealthCommand", "HealthCommitFloorMB"
  const char *target;
  DWORD limit_ms;
  bool on;
  bool guarded;      // only reports until it has passed once
  bool ever_passed;  // folders: a failure before the first pass is a mistake
  Run *run;          // in flight, or null
  DWORD run_started_ms;
  unsigned run_epoch;
  bool overdue;  // the run in flight has been counted as failing
  DWORD next_ms;
  bool failing;
  DWORD failing_since_ms;
  char what[WHAT_MAX];
  bool told;  // the grace's entry has been written for this failure
  char unsafe_told[WHAT_MAX];
};

#define MAX_CHECKS (HEALTH_MAX_FOLDERS + 2)
static HealthSettings settings;
static Check checks[MAX_CHECKS];
static int check_count = 0;
static Run *repair_run = nullptr;
static int repair_for = -1;
static bool repair_used = false;
static char repair_unsafe_told[WHAT_MAX];
static HANDLE monitor_thread = nullptr;
static HANDLE monitor_stop = nullptr;
static WORD bmc_timeout_s = 0;
static BYTE bmc_pretimeout_s = 0;
static char guard_check[NAME_MAX];

static std::atomic<int> withheld{-1};
static std::atomic<bool> paused{false};
static std::atomic<unsigned> pause_epoch{0};

static Run *run_start_for(CheckKind kind, const char *target, DWORD limit_ms) {
  return run_start(kind, target, limit_ms, settings.number[kCommitFloor]);
}

// Keeps the folders set now that have passed, so that a folder taken out of
// the setting and put back counts as newly set.
static void write_passed_folders(void) {
  char list[HEALTH_MAX_FOLDERS * HEALTH_FOLDER_MAX] = "";
  size_t used = 0;
  for (int i = 0; i < check_count && used < sizeof list; i++) {
    if (checks[i].kind != kFolderCheck || !checks[i].ever_passed) continue;
    int n = snprintf(list + used, sizeof list - used, "%s%s", used ? ";" : "", checks[i].target);
    if (n > 0) used += (size_t)n;
  }
  passed_folders_write(list);
}

// ---- one check's results ---------------------------------------------------

static void start_repair(int index) {
  if (!settings.repair_on || repair_used || repair_run) return;
  repair_used = true;
  repair_for = index;
  repair_run = run_start_for(kRepairRun, settings.repair, settings.number[kRepairLimit] * 1000);
}

static void check_off(Check &c) {
  c.on = false;
  c.failing = false;
}

static void failed(int index, DWORD now, const char *what, bool cannot_start) {
  Check &c = checks[index];
  if (cannot_start) {
    health_error(EVENT_HEALTH_SETTING_MISTAKE, ERROR_INVALID_PARAMETER,
                 "the health check %s cannot start (%s); that check is off.", c.name, what);
    check_off(c);
    return;
  }
  if (c.kind == kFolderCheck && !c.ever_passed) {
    health_error(EVENT_HEALTH_SETTING_MISTAKE, ERROR_INVALID_PARAMETER,
                 "the health check %s has never passed since the folder was set (%s): taken for "
                 "a setting mistake, that check is off.",
                 c.name, what);
    check_off(c);
    return;
  }
  snprintf(c.what, sizeof c.what, "%s", what);
  if (c.failing) return;
  c.failing = true;
  c.failing_since_ms = now;
  c.told = false;
  start_repair(index);
}

static void passed(Check &c) {
  if (c.kind == kFolderCheck && !c.ever_passed) {
    c.ever_passed = true;
    write_passed_folders();
  }
  if (c.failing && c.told && (settings.number[kReportOnly] || c.guarded))
    health_info(EVENT_HEALTH_PASSES_AGAIN, "the health check %s passes again.", c.name);
  c.failing = false;
  c.told = false;
  c.guarded = false;
}

// A command not run: one entry for each new finding, not one each interval.
static void unsafe(const char *name, char *told, const char *what) {
  if (strcmp(told, what) == 0) return;
  snprintf(told, WHAT_MAX, "%s", what);
  health_error(EVENT_HEALTH_UNSAFE_FILE, ERROR_ACCESS_DENIED,
               "%s is not run this time: %s. A program run as LocalSystem, and every folder above "
               "it, must be changeable by administrators and SYSTEM only.",
               name, what);
}

static void take_result(int index, DWORD now, unsigned epoch) {
  Check &c = checks[index];
  Run *run = c.run;
  c.run = nullptr;
  // A run that a sleep interrupted, or one already counted as overdue, says
  // nothing more: a write done after its limit still failed.
  if (c.on && c.run_epoch == epoch && !c.overdue) {
    if (run->unsafe) {
      // Off for the run: a failure that a user could cause never counts.
      unsafe(c.name, c.unsafe_told, run->result.what);
      c.failing = false;
    } else {
      c.unsafe_told[0] = '\0';
      if (run->result.passed)
        passed(c);
      else
        failed(index, now, run->result.what, run->result.cannot_start);
    }
  }
  run_release(run);
}

static void step(int index, DWORD now, unsigned epoch) {
  Check &c = checks[index];
  if (c.run && run_done(c.run)) take_result(index, now, epoch);
  // Judged even for a run that a sleep interrupted (its start moved by the
  // time asleep), so that a write stuck across a sleep still fails.
  if (c.run && !c.overdue && now - c.run_started_ms >= c.limit_ms) {
    c.overdue = true;
    char what[WHAT_MAX];
    if (c.kind == kFolderCheck)
      snprintf(what, sizeof what, "a write not done within %lu s",
               (unsigned long)(c.limit_ms / 1000));
    else if (c.kind == kCommandCheck)
      snprintf(what, sizeof what, "not ended %lu s after its %lu s limit",
               (unsigned long)(COMMAND_MARGIN_MS / 1000),
               (unsigned long)((c.limit_ms - COMMAND_MARGIN_MS) / 1000));
    else
      snprintf(what, sizeof what, "no answer within %lu s", (unsigned long)(c.limit_ms / 1000));
    failed(index, now, what, false);
  }
  // One run in flight: a stuck write keeps its run, and no second starts.
  if (!c.on || c.run || (LONG)(now - c.next_ms) < 0) return;
  c.next_ms = now + settings.number[kInterval] * 1000;
  c.run = run_start_for(c.kind, c.target,
                        c.kind == kCommandCheck ? c.limit_ms - COMMAND_MARGIN_MS : c.limit_ms);
  c.run_started_ms = now;
  c.run_epoch = epoch;
  c.overdue = false;
}

static void repair_step(DWORD now) {
  if (!repair_run || !run_done(repair_run)) return;
  Run *run = repair_run;
  repair_run = nullptr;
  const char *name = repair_for >= 0 ? checks[repair_for].name : "?";
  const char *what = repair_for >= 0 ? checks[repair_for].what : "";
  if (run->unsafe) {
    unsafe(REPAIR_COMMAND_VALUE, repair_unsafe_told, run->result.what);
  } else if (run->result.cannot_start) {
    health_error(EVENT_HEALTH_SETTING_MISTAKE, ERROR_INVALID_PARAMETER,
                 REPAIR_COMMAND_VALUE " cannot start (%s); it is not run again.", run->result.what);
    settings.repair_on = false;
  } else if (run->result.passed) {
    health_info(EVENT_HEALTH_REPAIR_RAN,
                REPAIR_COMMAND_VALUE
                " ran after the health check %s began failing (%s), and "
                "passed.",
                name, what);
  } else {
    health_warning(EVENT_HEALTH_REPAIR_RAN,
                   REPAIR_COMMAND_VALUE
                   " ran after the health check %s began failing (%s), and "
                   "failed: %s.",
                   name, what, run->result.what);
  }
  run_release(run);
  // The checks that fail are run again at once, so that a repair that
  // worked ends the failure.
  for (int i = 0; i < check_count; i++)
    if (checks[i].failing && !checks[i].run) checks[i].next_ms = now;
}

static void withhold(int index, DWORD now) {
  Check &c = checks[index];
  char nmi[160] = "";
  if (bmc_pretimeout_s != 0)
    snprintf(nmi, sizeof nmi,
             ", with the pre-timeout NMI (and Windows' crash dump of the stall) within %u s",
             (unsigned)(bmc_timeout_s - bmc_pretimeout_s));
  SetLastError(ERROR_NOT_READY);
  char text[1024];
  snprintf(text, sizeof text,
           "VYR IPMI ASR: the health check %s has failed for %lu s without a pass (%s); the "
           "service withholds the timer's resets, and the BMC will reset the server within %u "
           "s%s.",
           c.name, (unsigned long)((now - c.failing_since_ms) / 1000), c.what,
           (unsigned)bmc_timeout_s, nmi);
  // Mended when the resets resume: only a withholding that lasts tells how
  // the service ends.
  report_mendable_error_event(text, EVENT_HEALTH_WITHHOLDING);
  c.told = true;
  withheld.store(index);
}

static void decide(DWORD now) {
  DWORD grace_ms = settings.number[kGrace] * 1000;
  int first = -1;
  bool any_failing = false;
  for (int i = 0; i < check_count; i++) {
    Check &c = checks[i];
    if (!c.on || !c.failing) continue;
    bool reports_only = settings.number[kReportOnly] || c.guarded;
    if (!reports_only) any_failing = true;
    if (now - c.failing_since_ms < grace_ms) continue;
    if (!reports_only) {
      if (first < 0) first = i;
      continue;
    }
    if (c.told) continue;
    c.told = true;
    health_warning(EVENT_HEALTH_REPORT_ONLY,
                   "the health check %s has failed for %lu s without a pass (%s); %s, the resets "
                   "go on.",
                   c.name, (unsigned long)((now - c.failing_since_ms) / 1000), c.what,
                   c.guarded ? "it withheld the resets before the BMC's last reset of the server "
                               "and only reports until it has passed once"
                             : "report only (HealthReportOnly is 1)");
  }
  if (!any_failing) repair_used = false;
  if (withheld.load() < 0) {
    if (first >= 0) withhold(first, now);
  } else if (!any_failing) {
    withheld.store(-1);
    exit_error_mended();
    health_info(EVENT_HEALTH_RESUMED,
                "every health check passes again; the timer's resets resume.");
  }
}

// ---- the monitor's thread -------------------------------------------------

static void shift(DWORD span) {
  for (int i = 0; i < check_count; i++) {
    checks[i].next_ms += span;
    checks[i].failing_since_ms += span;
    checks[i].run_started_ms += span;
  }
}

static DWORD WINAPI monitor_main(LPVOID parameter) {
  (void)parameter;
  DWORD last = GetTickCount();
  unsigned epoch = pause_epoch;
  bool slept = false;
  while (WaitForSingleObject(monitor_stop, MONITOR_TICK_MS) == WAIT_TIMEOUT) {
    DWORD now = GetTickCount();
    if (paused) {
      slept = true;
      continue;
    }
    // The time asleep counts for no limit, grace or interval; a run that a
    // sleep interrupted is not judged.
    if (slept || epoch != pause_epoch) {
      DWORD gap = now - last;
      shift(gap > MONITOR_TICK_MS ? gap - MONITOR_TICK_MS : 0);
      epoch = pause_epoch;
      slept = false;
    }
    last = now;
    for (int i = 0; i < check_count; i++) step(i, now, epoch);
    repair_step(now);
    decide(now);
  }
  return 0;
}

// ---- start and stop -------------------------------------------------------

void health_guard_after_reset(const char *check) {
  snprintf(guard_check, sizeof guard_check, "%s", check);
}

static void add_check(CheckKind kind, const char *name, const char *target, DWORD limit_ms) {
  Check &c = checks[check_count++];
  memset(&c, 0, sizeof c);
  c.kind = kind;
  snprintf(c.name, sizeof c.name, "%s", name);
  c.target = target;
  c.limit_ms = limit_ms;
  c.on = true;
  // The record keeps the name's first HEALTH_NAME_RECORDED characters.
  c.guarded = guard_check[0] != '\0' && strncmp(guard_check, name, HEALTH_NAME_RECORDED) == 0;
}

static void program_named(char *command, bool *on, const char *value) {
  char program[HEALTH_COMMAND_MAX];
  if (!*on || health_functions.command_program(command, program, sizeof program)) return;
  health_error(EVENT_HEALTH_SETTING_MISTAKE, ERROR_INVALID_PARAMETER,
               "%s under HKLM\\" PARAMETERS_KEY
               " (%s) does not name its program by a full path, "
               "quoted when it has spaces; it is not run.",
               value, command);
  *on = false;
}

static void build_checks(void) {
  check_count = 0;
  char passed_list[HEALTH_MAX_FOLDERS * HEALTH_FOLDER_MAX];
  passed_folders_read(passed_list, sizeof passed_list);
  DWORD write_ms = settings.number[kWriteLimit] * 1000;
  for (int i = 0; settings.folders_on && i < settings.folder_count; i++) {
    char name[NAME_MAX];
    snprintf(name, sizeof name, HEALTH_FOLDER_VALUE " %s", settings.folder[i]);
    add_check(kFolderCheck, name, settings.folder[i], write_ms);
    checks[check_count - 1].ever_passed = passed_folders_listed(passed_list, settings.folder[i]);
  }
  if (settings.command_on)
    add_check(kCommandCheck, HEALTH_COMMAND_VALUE, settings.command,
              settings.number[kCommandLimit] * 1000 + COMMAND_MARGIN_MS);
  if (settings.commit_on)
    add_check(kCommitCheck, kHealthNumberSettings[kCommitFloor].value, "", COMMIT_LIMIT_MS);
  DWORD first_ms = GetTickCount() + settings.number[kStartDelay] * 1000;
  for (int i = 0; i < check_count; i++) checks[i].next_ms = first_ms;
}

void health_monitor_start(WORD timeout_s, BYTE pretimeout_s) {
  health_settings_read(&settings);
  if (!settings.any) return;
  bmc_timeout_s = timeout_s;
  bmc_pretimeout_s = pretimeout_s;
  for (int i = 0; i < settings.mistake_count; i++)
    health_error(EVENT_HEALTH_SETTING_MISTAKE, ERROR_INVALID_PARAMETER, "%s", settings.mistake[i]);
  program_named(settings.command, &settings.command_on, HEALTH_COMMAND_VALUE);
  program_named(settings.repair, &settings.repair_on, REPAIR_COMMAND_VALUE);
  if (!health_settings_in_force(settings)) return;
  build_checks();
  char in_force[1536];
  health_settings_describe(settings, in_force, sizeof in_force);
  char guard[NAME_MAX + 160] = "";
  for (int i = 0; i < check_count; i++)
    if (checks[i].guarded)
      snprintf(guard, sizeof guard,
               " The check %s withheld the resets before the BMC's last reset of the server: it "
               "only reports until it has passed once.",
               checks[i].name);
  health_info(EVENT_HEALTH_IN_FORCE, "health checks in force, %s%s", in_force, guard);
  monitor_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
  monitor_thread = monitor_stop ? CreateThread(NULL, 0, monitor_main, NULL, 0, NULL) : nullptr;
  if (monitor_thread) return;
  health_error(EVENT_HEALTH_SETTING_MISTAKE, GetLastError(),
               "the health checks cannot run (no thread for them); the resets go on.");
  if (monitor_stop) CloseHandle(monitor_stop);
  monitor_stop = nullptr;
}

void health_monitor_stop(void) {
  if (!monitor_thread) return;
  SetEvent(monitor_stop);
  bool ended = WaitForSingleObject(monitor_thread, MONITOR_STOP_WAIT_MS) == WAIT_OBJECT_0;
  CloseHandle(monitor_thread);
  monitor_thread = nullptr;
  withheld.store(-1);
  // A thread that did not end keeps its event and its runs.
  if (!ended) return;
  CloseHandle(monitor_stop);
  monitor_stop = nullptr;
  for (int i = 0; i < check_count; i++)
    if (checks[i].run) run_release(checks[i].run), checks[i].run = nullptr;
  if (repair_run) run_release(repair_run), repair_run = nullptr;
}

const char *health_withheld_by(void) {
  int index = withheld.load();
  return index >= 0 ? checks[index].name : nullptr;
}

void health_pause(void) {
  paused = true;
  pause_epoch++;
}

void health_resume(void) {
  paused = false;
  pause_epoch++;
}

void health_clear(void) {
  health_functions = kSystemChecks;
  withheld = -1;
  paused = false;
  pause_epoch = 0;
  monitor_thread = nullptr;
  monitor_stop = nullptr;
  check_count = 0;
  repair_run = nullptr;
  repair_for = -1;
  repair_used = false;
  repair_unsafe_told[0] = '\0';
  guard_check[0] = '\0';
}
