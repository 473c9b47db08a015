#include "watchdog/timer_record.h"

#include <stdio.h>
#include <string.h>

// The value's layout: the Set's bytes, the reason, the time written, the
// earlier Set's bytes when the last one's outcome is not known, and the
// check's name (TIMER_RECORD_CHECK_SIZE bytes) for kWithheldByHealth.
#define RECORD_SIZE (ipmi::kSetRequestLength + sizeof(DWORD) + sizeof(FILETIME))
#define RECORD_SIZE_WITH_EARLIER (RECORD_SIZE + ipmi::kSetRequestLength)

bool timer_record_read(TimerRecord *record) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TIMER_RECORD_KEY, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  BYTE data[RECORD_SIZE_WITH_EARLIER + TIMER_RECORD_CHECK_SIZE];
  DWORD type = 0;
  DWORD size = sizeof data;
  LONG status = RegQueryValueExA(key, TIMER_RECORD_VALUE, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_BINARY) return false;
  // A withheld record carries the check's name last.
  bool has_check = size == RECORD_SIZE + TIMER_RECORD_CHECK_SIZE ||
                   size == RECORD_SIZE_WITH_EARLIER + TIMER_RECORD_CHECK_SIZE;
  DWORD base = has_check ? size - TIMER_RECORD_CHECK_SIZE : size;
  if (base != RECORD_SIZE && base != RECORD_SIZE_WITH_EARLIER) return false;
  record->has_earlier = base == RECORD_SIZE_WITH_EARLIER;
  if (record->has_earlier) memcpy(record->earlier, data + RECORD_SIZE, ipmi::kSetRequestLength);
  memcpy(record->set, data, ipmi::kSetRequestLength);
  memcpy(&record->reason, data + ipmi::kSetRequestLength, sizeof record->reason);
  memcpy(&record->written, data + ipmi::kSetRequestLength + sizeof record->reason,
         sizeof record->written);
  record->check[0] = '\0';
  if (has_check) {
    memcpy(record->check, data + base, TIMER_RECORD_CHECK_SIZE);
    record->check[TIMER_RECORD_CHECK_SIZE - 1] = '\0';
  }
  if (has_check != (record->reason == kWithheldByHealth)) return false;
  return record->reason == kArmedWhileRunning || record->reason == kLeftForShutdown ||
         record->reason == kWithheldByHealth;
}

// The record's value: the Set's bytes, the reason, the time, the earlier
// Set when given and the check when given.
static void write_record(const BYTE set[ipmi::kSetRequestLength], DWORD reason, const BYTE *earlier,
                         const char *check) {
  BYTE data[RECORD_SIZE_WITH_EARLIER + TIMER_RECORD_CHECK_SIZE] = {};
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  memcpy(data, set, ipmi::kSetRequestLength);
  memcpy(data + ipmi::kSetRequestLength, &reason, sizeof reason);
  memcpy(data + ipmi::kSetRequestLength + sizeof reason, &now, sizeof now);
  DWORD size = RECORD_SIZE;
  if (earlier) {
    memcpy(data + RECORD_SIZE, earlier, ipmi::kSetRequestLength);
    size = RECORD_SIZE_WITH_EARLIER;
  }
  if (check) {
    snprintf(reinterpret_cast<char *>(data + size), TIMER_RECORD_CHECK_SIZE, "%s", check);
    size += TIMER_RECORD_CHECK_SIZE;
  }
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, TIMER_RECORD_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  // One value, so that a record is never half written.
  RegSetValueExA(key, TIMER_RECORD_VALUE, 0, REG_BINARY, data, size);
  RegCloseKey(key);
}

void timer_record_write(const BYTE set[ipmi::kSetRequestLength], TimerRecordReason reason,
                        const BYTE *earlier) {
  write_record(set, reason, earlier, nullptr);
}

void timer_record_mark_withheld(const char *check) {
  TimerRecord record;
  if (!timer_record_read(&record) || record.reason == kLeftForShutdown) return;
  write_record(record.set, check ? kWithheldByHealth : kArmedWhileRunning,
               record.has_earlier ? record.earlier : nullptr, check);
}

void timer_record_clear(void) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TIMER_RECORD_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  RegDeleteValueA(key, TIMER_RECORD_VALUE);
  RegCloseKey(key);
}

static bool set_matches(const BYTE set[ipmi::kSetRequestLength], const BYTE *reply) {
  // The Set's first byte carries the don't-stop bit where the Get's carries
  // the running bit (the same bit): only the use is compared.
  return (reply[ipmi::kGetUse] & ipmi::kUseMask) == (set[0] & ipmi::kUseMask) &&
         reply[ipmi::kGetActions] == set[1] && reply[ipmi::kGetPretimeout] == set[2] &&
         reply[ipmi::kGetInitialCount] == set[4] && reply[ipmi::kGetInitialCount + 1] == set[5];
}

bool timer_record_matches(const TimerRecord &record, const BYTE *reply, WORD length) {
  if (length < ipmi::kGetInitialCount + 2) return false;
  return set_matches(record.set, reply) ||
         (record.has_earlier && set_matches(record.earlier, reply));
}

void timer_record_time_text(const TimerRecord &record, char *text, size_t size) {
  SYSTEMTIME t;
  if (!FileTimeToSystemTime(&record.written, &t)) {
    snprintf(text, size, "an unknown time");
    return;
  }
  snprintf(text, size, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour,
           t.wMinute, t.wSecond);
}
