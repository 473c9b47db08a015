#include "health/settings.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void add_mistake(HealthSettings *s, const char *format, ...) {
  if (s->mistake_count >= HEALTH_MAX_MISTAKES) return;
  va_list args;
  va_start(args, format);
  vsnprintf(s->mistake[s->mistake_count++], HEALTH_MISTAKE_MAX, format, args);
  va_end(args);
}

// What a check's mistake turns off, for the sentences.
static const char *what_goes_off(HealthNumber which) {
  switch (which) {
    case kWriteLimit:
      return "the " HEALTH_FOLDER_VALUE " check is off";
    case kCommandLimit:
      return "the " HEALTH_COMMAND_VALUE " check is off";
    case kRepairLimit:
      return REPAIR_COMMAND_VALUE " is not run";
    case kCommitFloor:
      return "the commit check is off";
    default:
      return "every health check is off";
  }
}

static void turn_off(HealthSettings *s, HealthNumber which) {
  switch (which) {
    case kWriteLimit:
      s->folders_on = false;
      break;
    case kCommandLimit:
      s->command_on = false;
      break;
    case kRepairLimit:
      s->repair_on = false;
      break;
    case kCommitFloor:
      s->commit_on = false;
      break;
    default:
      s->folders_on = s->command_on = s->commit_on = s->repair_on = false;
  }
}

static void read_number(HKEY key, HealthSettings *s, HealthNumber which) {
  const HealthNumberSetting &setting = kHealthNumberSettings[which];
  s->number[which] = setting.fallback;
  DWORD type = 0, value = 0, size = sizeof value;
  LONG status = RegQueryValueExA(key, setting.value, nullptr, &type, (LPBYTE)&value, &size);
  if (status == ERROR_FILE_NOT_FOUND) return;
  s->any = true;
  bool usable = status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value;
  if (usable && value >= setting.lowest && value <= setting.highest) {
    s->number[which] = value;
    return;
  }
  char range[48];
  snprintf(range, sizeof range, "%lu..%lu%s%s", (unsigned long)setting.lowest,
           (unsigned long)setting.highest, *setting.unit ? " " : "", setting.unit);
  if (usable)
    add_mistake(s, "%s under HKLM\\" PARAMETERS_KEY " is %lu, outside %s; %s.", setting.value,
                (unsigned long)value, range, what_goes_off(which));
  else
    add_mistake(s, "%s under HKLM\\" PARAMETERS_KEY " is not a REG_DWORD of %s; %s.", setting.value,
                range, what_goes_off(which));
  turn_off(s, which);
}

// A REG_SZ into text; false (with a mistake) when set but not usable.
static bool read_text(HKEY key, HealthSettings *s, const char *name, char *text, size_t size) {
  text[0] = '\0';
  DWORD type = 0;
  DWORD length = (DWORD)size;
  LONG status = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)text, &length);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  s->any = true;
  const char *why = nullptr;
  if (status == ERROR_MORE_DATA)
    why = "longer than the service takes";
  else if (status != ERROR_SUCCESS || type != REG_SZ)
    why = "not a REG_SZ";
  if (why) {
    text[0] = '\0';
    add_mistake(s, "%s under HKLM\\" PARAMETERS_KEY " is %s; that check is off.", name, why);
    return false;
  }
  text[length < size ? length : size - 1] = '\0';
  return true;
}

bool health_folder_usable(const char *folder) {
  bool drive = ((folder[0] | 0x20) >= 'a' && (folder[0] | 0x20) <= 'z') && folder[1] == ':' &&
               folder[2] == '\\';
  bool unc = folder[0] == '\\' && folder[1] == '\\' && folder[2] != '\0' && folder[2] != '\\';
  return drive || unc;
}

static void split_folders(HealthSettings *s, const char *list) {
  const char *at = list;
  while (*at) {
    const char *end = strchr(at, ';');
    size_t length = end ? (size_t)(end - at) : strlen(at);
    while (length > 0 && at[0] == ' ') at++, length--;
    while (length > 0 && at[length - 1] == ' ') length--;
    char folder[HEALTH_FOLDER_MAX];
    if (length == 0) {
      // an empty entry, as after a trailing ';'
    } else if (length >= sizeof folder) {
      add_mistake(s,
                  HEALTH_FOLDER_VALUE
                  " names a folder longer than %u characters; it is not "
                  "checked.",
                  (unsigned)(sizeof folder - 1));
    } else {
      memcpy(folder, at, length);
      folder[length] = '\0';
      if (!health_folder_usable(folder))
        add_mistake(s,
                    HEALTH_FOLDER_VALUE
                    " names \"%s\", which is not a full path; it is not "
                    "checked.",
                    folder);
      else if (s->folder_count == HEALTH_MAX_FOLDERS)
        add_mistake(s, HEALTH_FOLDER_VALUE " names more than %d folders; \"%s\" is not checked.",
                    HEALTH_MAX_FOLDERS, folder);
      else
        memcpy(s->folder[s->folder_count++], folder, length + 1);
    }
    if (!end) break;
    at = end + 1;
  }
}

void health_settings_read(HealthSettings *s) {
  memset(s, 0, sizeof *s);
  s->folders_on = s->command_on = s->commit_on = s->repair_on = true;
  for (int n = 0; n < kHealthNumbers; n++) s->number[n] = kHealthNumberSettings[n].fallback;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    s->folders_on = s->command_on = s->commit_on = s->repair_on = false;
    return;
  }
  char folders[HEALTH_MAX_FOLDERS * HEALTH_FOLDER_MAX];
  if (read_text(key, s, HEALTH_FOLDER_VALUE, folders, sizeof folders)) split_folders(s, folders);
  if (!read_text(key, s, HEALTH_COMMAND_VALUE, s->command, sizeof s->command))
    s->command_on = false;
  if (!read_text(key, s, REPAIR_COMMAND_VALUE, s->repair, sizeof s->repair)) s->repair_on = false;
  // Shared values last: their mistake turns every check off.
  for (int n = 0; n < kHealthNumbers; n++) read_number(key, s, (HealthNumber)n);
  RegCloseKey(key);
  if (s->folder_count == 0) s->folders_on = false;
  if (s->command[0] == '\0') s->command_on = false;
  if (s->repair[0] == '\0') s->repair_on = false;
  if (s->number[kCommitFloor] == 0) s->commit_on = false;
}

bool health_settings_in_force(const HealthSettings &s) {
  return s.folders_on || s.command_on || s.commit_on;
}

// Appends to text at *used, never past size.
static void append(char *text, size_t size, size_t *used, const char *format, ...) {
  if (*used >= size) return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text + *used, size - *used, format, args);
  va_end(args);
  if (n > 0) *used += (size_t)n;
}

void health_settings_describe(const HealthSettings &s, char *text, size_t size) {
  size_t used = 0;
  text[0] = '\0';
  append(
      text, size, &used,
      "every %lu s from %lu s after the start, %s after %lu s of failure without a pass:",
      (unsigned long)s.number[kInterval], (unsigned long)s.number[kStartDelay],
      s.number[kReportOnly] ? "reporting only (HealthReportOnly is 1)" : "withholding the resets",
      (unsigned long)s.number[kGrace]);
  const char *separator = " ";
  if (s.folders_on)
    for (int i = 0; i < s.folder_count; i++) {
      append(text, size, &used, "%s" HEALTH_FOLDER_VALUE " %s (written within %lu s)", separator,
             s.folder[i], (unsigned long)s.number[kWriteLimit]);
      separator = "; ";
    }
  if (s.command_on) {
    append(text, size, &used, "%s" HEALTH_COMMAND_VALUE " %s (within %lu s)", separator, s.command,
           (unsigned long)s.number[kCommandLimit]);
    separator = "; ";
  }
  if (s.commit_on) {
    append(text, size, &used, "%s%s %lu MB", separator, kHealthNumberSettings[kCommitFloor].value,
           (unsigned long)s.number[kCommitFloor]);
    separator = "; ";
  }
  if (s.repair_on)
    append(text, size, &used, "%s" REPAIR_COMMAND_VALUE " %s (within %lu s)", separator, s.repair,
           (unsigned long)s.number[kRepairLimit]);
  append(text, size, &used, ".");
}

bool health_number_usable(HealthNumber which, const char *text, DWORD *value) {
  size_t length = strlen(text);
  if (length == 0 || length > 9 || strspn(text, "0123456789") != length) return false;
  *value = (DWORD)strtoul(text, nullptr, 10);
  return *value >= kHealthNumberSettings[which].lowest &&
         *value <= kHealthNumberSettings[which].highest;
}
