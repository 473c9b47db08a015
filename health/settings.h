// The opt-in health checks' settings: values under the service key's
// Parameters, read at each start, and written by the package from properties
// of the same names in capitals. With none of them set nothing runs.
#pragma once

#include <stddef.h>
#include <windows.h>

#include "service/parameters.h"

// REG_SZ: folders separated by ';', each written to every interval.
#define HEALTH_FOLDER_VALUE "HealthFolder"
// REG_SZ: a command line whose program is named by its full path.
#define HEALTH_COMMAND_VALUE "HealthCommand"
// REG_SZ: run once when a check starts failing.
#define REPAIR_COMMAND_VALUE "RepairCommand"

// The REG_DWORD settings, each with its default and its range: one table for
// the service, qd4probe and the package.
enum HealthNumber {
  kWriteLimit,
  kCommandLimit,
  kRepairLimit,
  kCommitFloor,
  kInterval,
  kGrace,
  kStartDelay,
  kReportOnly,
  kHealthNumbers
};
struct HealthNumberSetting {
  const char *value;
  const char *unit;  // "s", "MB" or ""
  DWORD fallback, lowest, highest;
};
constexpr HealthNumberSetting kHealthNumberSettings[kHealthNumbers] = {
    {"HealthWriteLimit", "s", 60, 5, 3600},
    {"HealthCommandLimit", "s", 60, 5, 3600},
    {"RepairLimit", "s", 120, 5, 3600},
    // 0 is off; at most 16 TB.
    {"HealthCommitFloorMB", "MB", 0, 0, 16u * 1024 * 1024},
    {"HealthInterval", "s", 30, 10, 3600},
    {"HealthGrace", "s", 180, 30, 86400},
    {"HealthStartDelay", "s", 600, 0, 86400},
    {"HealthReportOnly", "", 0, 0, 1},
};

#define HEALTH_MAX_FOLDERS 8
#define HEALTH_FOLDER_MAX MAX_PATH
#define HEALTH_COMMAND_MAX 1024
#define HEALTH_MAX_MISTAKES 12
#define HEALTH_MISTAKE_MAX 400

struct HealthSettings {
  // Some health value is set, usable or not.
  bool any;
  DWORD number[kHealthNumbers];
  int folder_count;
  char folder[HEALTH_MAX_FOLDERS][HEALTH_FOLDER_MAX];
  char command[HEALTH_COMMAND_MAX];  // "" for none
  char repair[HEALTH_COMMAND_MAX];   // "" for none
  // What is left on once the mistakes have turned their parts off.
  bool folders_on, command_on, commit_on, repair_on;
  // Each mistake as a sentence, for the service's error entries and
  // qd4probe's lines.
  int mistake_count;
  char mistake[HEALTH_MAX_MISTAKES][HEALTH_MISTAKE_MAX];
};

// Reads every value; a value out of range or of the wrong type is a mistake
// that turns its check off (a shared one, every check).
void health_settings_read(HealthSettings *settings);
bool health_settings_in_force(const HealthSettings &settings);
// The checks in force and their limits, one sentence:
// "every 30 s from 600 s after the start, withholding the resets after 180 s
// of failure: HealthFolder D:\data (write within 60 s); ..."
void health_settings_describe(const HealthSettings &settings, char *text, size_t size);
// Whether text is a usable value for the setting: digits only, in its range.
bool health_number_usable(HealthNumber which, const char *text, DWORD *value);
// Whether a folder is named by a full path ("D:\data", "\\server\share\x").
bool health_folder_usable(const char *folder);
