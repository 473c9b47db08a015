// The record of the timer this service armed: the six bytes of the last Set
// that armed it, why it may still run, and when that Set was sent. It lets a
// start take back its own timer after the process ended without disarming it
// (a crash, a kill) or after it was left for a shutdown, while every other
// agent's timer is still refused. It lives under HKLM\SOFTWARE, which only
// administrators and SYSTEM may write, and which survives a reboot and the
// deletion of the service's key by a reinstall.
#pragma once

#include <windows.h>

#include "health/monitor.h"
#include "ipmi/ipmi.h"
#include "service/parameters.h"

#define TIMER_RECORD_KEY SERVICE_OWN_KEY
#define TIMER_RECORD_VALUE "ArmedTimer"

// Why the recorded timer may still be running.
enum TimerRecordReason : DWORD {
  kArmedWhileRunning = 1,  // armed and fed by the running service
  kLeftForShutdown = 2,    // left armed with the shutdown allowance
  kWithheldByHealth = 3,   // armed, its resets withheld for a failing health check
};
#define TIMER_RECORD_CHECK_SIZE (HEALTH_NAME_RECORDED + 1)

struct TimerRecord {
  BYTE set[ipmi::kSetRequestLength];
  DWORD reason;
  FILETIME written;  // UTC
  // A Set whose reply was lost may or may not have been taken: the timer then
  // runs with its bytes or with those of the Set before it.
  bool has_earlier;
  BYTE earlier[ipmi::kSetRequestLength];
  // kWithheldByHealth: the check that failed, e.g. "HealthCommand".
  char check[TIMER_RECORD_CHECK_SIZE];
};

// False when there is no record (or it cannot be read or is malformed).
bool timer_record_read(TimerRecord *record);
// Best effort: a record that cannot be written only means that a start after
// a crash refuses the timer, as it would without one.
void timer_record_write(const BYTE set[ipmi::kSetRequestLength], TimerRecordReason reason,
                        const BYTE *earlier = nullptr);
void timer_record_clear(void);
// The record of the armed timer, rewritten before the first reset withheld
// for the named check, so that the next start tells the BMC's reset from a
// hang; with null, back to kArmedWhileRunning once the resets resume.
void timer_record_mark_withheld(const char *check);
// Whether a Get Watchdog Timer reply describes the recorded timer (either Set
// when the record has two): its use,
// actions, pre-timeout interval and initial count (the reply's first six
// bytes, all that some BMCs send).
bool timer_record_matches(const TimerRecord &record, const BYTE *reply, WORD length);
// "2026-12-09 18:41:02 UTC"
void timer_record_time_text(const TimerRecord &record, char *text, size_t size);
