#include "watchdog/pretimeout.h"

#include <stdio.h>

#include <atomic>

#include "ipmi/ipmi.h"
#include "service/events.h"
#include "watchdog/retry_policy.h"
#include "watchdog/timer_at_start.h"

const char *pretimeout_argument = nullptr;
WORD pretimeout_requested = 0;
// Raised when the BMC refused the pre-timeout: read by the worker outside the
// session's lock, while a resume's enable may raise it.
static std::atomic<bool> refused{false};
// The pre-timeout this start took, in range; 0 for none. The worker's own.
static WORD taken_seconds = 0;
// The pre-timeout every enable carries: the one taken, until the BMC refuses
// it. Written by the worker before the session is published, and after that
// only under the session's lock.
static BYTE enable_pretimeout_seconds = 0;

// The NMI's margin after a ride-through has given up and disarmed the timer.
#define RIDE_THROUGH_MARGIN_S 30
// IPMI 2.0 section 27.6: the pre-timeout interval is the Set's third byte.
#define PRETIMEOUT_FIELD_MAX 255
// A kernel dump of a server with much memory takes about a minute or more.
#define SHORT_FOR_A_DUMP_S 60

#define CRASH_CONTROL_KEY "SYSTEM\\CurrentControlSet\\Control\\CrashControl"
// Windows 8 and Server 2012 (6.2) write the configured dump on an NMI by
// default; older versions only with NMICrashDump set to 1.
#define NMI_DUMPS_BY_DEFAULT_MAJOR 6
#define NMI_DUMPS_BY_DEFAULT_MINOR 2

WORD pretimeout_max_seconds(WORD timeout) {
  DWORD ride_through_s = ride_through_limit_ms(timeout) / 1000;
  if (ride_through_s <= RIDE_THROUGH_MARGIN_S) return 0;
  DWORD longest = ride_through_s - RIDE_THROUGH_MARGIN_S;
  return (WORD)(longest < PRETIMEOUT_FIELD_MAX ? longest : PRETIMEOUT_FIELD_MAX);
}

// A DWORD value under CrashControl: status ERROR_SUCCESS with its value, or
// why it could not be read.
struct DwordValue {
  LONG status;
  DWORD value;
};

static DwordValue read_dword(HKEY key, const char *name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  LONG status = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)&value, &size);
  if (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof value))
    status = ERROR_INVALID_DATA;
  return DwordValue{status, value};
}

static void describe(DwordValue read, char *text, size_t size) {
  if (read.status == ERROR_SUCCESS)
    snprintf(text, size, "is %lu", (unsigned long)read.value);
  else if (read.status == ERROR_FILE_NOT_FOUND)
    snprintf(text, size, "is missing");
  else if (read.status == ERROR_INVALID_DATA)
    snprintf(text, size, "is not a REG_DWORD");
  else
    snprintf(text, size, "cannot be read (error %ld)", (long)read.status);
}

static void warn_no_dump(const char *name, DwordValue read, const char *what_to_set) {
  char state[64];
  char text[512];
  describe(read, state, sizeof state);
  snprintf(text, sizeof text,
           "VYR IPMI ASR: %s under HKLM\\" CRASH_CONTROL_KEY
           " %s: the pre-timeout NMI will restart the server without a crash dump. Set %s "
           "to %s.",
           name, state, name, what_to_set);
  report_warning_event(EVENT_NO_CRASH_DUMP, read.status == ERROR_SUCCESS ? 0 : (DWORD)read.status,
                       text);
}

// Windows older than 6.2 dumps on an NMI only when told to. When the version
// cannot be told, NMICrashDump is checked too: a hint too many costs less
// than a dump missing.
static bool nmi_dump_needs_setting(void) {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) return true;
  if (version.dwMajorVersion != NMI_DUMPS_BY_DEFAULT_MAJOR)
    return version.dwMajorVersion < NMI_DUMPS_BY_DEFAULT_MAJOR;
  return version.dwMinorVersion < NMI_DUMPS_BY_DEFAULT_MINOR;
}

// Only read: the crash dump settings are the administrator's.
static void check_crash_control(void) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, CRASH_CONTROL_KEY, 0, KEY_QUERY_VALUE, &key);
  DwordValue dump = {opened, 0};
  DwordValue nmi = {opened, 0};
  bool old_windows = nmi_dump_needs_setting();
  if (opened == ERROR_SUCCESS) {
    dump = read_dword(key, "CrashDumpEnabled");
    if (old_windows) nmi = read_dword(key, "NMICrashDump");
    RegCloseKey(key);
  }
  if (dump.status != ERROR_SUCCESS || dump.value == 0)
    warn_no_dump("CrashDumpEnabled", dump, "2 (kernel memory dump)");
  if (old_windows && (nmi.status != ERROR_SUCCESS || nmi.value != 1))
    warn_no_dump("NMICrashDump", nmi, "1 (REG_DWORD) and restart Windows");
}

void pretimeout_start(void) {
  enable_pretimeout_seconds = 0;
  taken_seconds = 0;
  refused = false;
  if (pretimeout_argument == nullptr) return;
  WORD longest = pretimeout_max_seconds(timeout_seconds);
  WORD seconds = pretimeout_requested;
  char text[256];
  if (seconds < PRETIMEOUT_MIN_SECONDS || seconds > longest) {
    snprintf(text, sizeof text,
             "VYR IPMI ASR: pre-timeout \"%.40s\" (%u s) lies outside %u..%u s for the %u s "
             "timeout; running without the pre-timeout interrupt.",
             pretimeout_argument, (unsigned)seconds, (unsigned)PRETIMEOUT_MIN_SECONDS,
             (unsigned)longest, (unsigned)timeout_seconds);
    report_warning_event(EVENT_PRETIMEOUT_NOT_USED, ERROR_INVALID_PARAMETER, text);
    return;
  }
  taken_seconds = seconds;
  enable_pretimeout_seconds = (BYTE)seconds;
}

void pretimeout_check_windows(void) {
  // Not when the BMC refused it: no NMI will come.
  if (taken_seconds == 0 || refused) return;
  check_crash_control();
  if (taken_seconds < SHORT_FOR_A_DUMP_S) {
    char text[256];
    snprintf(text, sizeof text,
             "VYR IPMI ASR: a pre-timeout of %u s may be too short for the crash dump of a large "
             "server; the BMC resets the server when it runs out. Choose %u s or more (up to %u "
             "s with the %u s timeout).",
             (unsigned)taken_seconds, (unsigned)SHORT_FOR_A_DUMP_S,
             (unsigned)pretimeout_max_seconds(timeout_seconds), (unsigned)timeout_seconds);
    report_warning_event(EVENT_PRETIMEOUT_SHORT, 0, text);
  }
}

BYTE pretimeout_in_force(void) { return enable_pretimeout_seconds; }

static bool refuses_pretimeout(const RequestOutcome &outcome) {
  return outcome.sent && outcome.status == 0 && ipmi::refuses_pretimeout(outcome.completion_code);
}

int pretimeout_enable(WatchdogSession session, RequestOutcome *outcome) {
  RequestOutcome result;
  int answer =
      wd_enable(session, EnableSettings{enable_pretimeout_seconds, enable_clear_flags()}, &result);
  if (outcome) *outcome = result;
  if (answer == 0 || enable_pretimeout_seconds == 0 || !refuses_pretimeout(result)) return answer;
  // Many BMCs take no NMI pre-timeout, and say so in several words (OpenIPMI's
  // ipmi_sim answers CCh): protection without it beats none.
  enable_pretimeout_seconds = 0;
  refused = true;
  char text[160];
  snprintf(text, sizeof text,
           "VYR IPMI ASR: the BMC refused the pre-timeout interrupt (completion code %02Xh); the "
           "timer is armed without it.",
           result.completion_code);
  report_warning_event(EVENT_PRETIMEOUT_REFUSED, request_error_code(result), text);
  return wd_enable(session, EnableSettings{0, enable_clear_flags()}, outcome);
}
