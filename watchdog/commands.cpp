#include "watchdog/commands.h"

#include <string.h>

#include "ipmi/ipmi.h"
#include "service/trace.h"
#include "watchdog/driver_library.h"
#include "watchdog/timer_record.h"

WORD timeout_seconds = 255;

#define RESPONSE_SIZE 64
// Used only if a Reset starts the disabled timer again: 256 s.
#define DISABLED_COUNT 0x0A00

DWORD request_error_code(RequestOutcome outcome) {
  if (!outcome.sent) return ERROR_PROC_NOT_FOUND;
  if (outcome.status != 0) return ERROR_TIMEOUT;
  return ERROR_IO_DEVICE;
}

// One request; 0 when the call returns 0 and the completion code reads 0.
static int send_command(WatchdogSession session, BYTE command, const BYTE *data, WORD length,
                        BYTE *response, RequestOutcome *outcome) {
  memset(response, 0, RESPONSE_SIZE);
  WORD response_length = RESPONSE_SIZE;
  BYTE completion_code = 0xFF;
  RequestOutcome result = {FALSE, 0, 0xFF, 0};
  if (qd4_send) {
    DWORD status = qd4_send(session, ipmi::kAppLun0, command, data, length, ipmi::kBmcAddress,
                            response, &response_length, &completion_code, 0);
    result = RequestOutcome{TRUE, status, completion_code, response_length};
  }
  if (outcome) *outcome = result;
  return result.sent && result.status == 0 && result.completion_code == ipmi::kCcOk ? 0 : -1;
}

// Both Sets: the timer used by the operating system (SMS/OS), a hard reset on
// expiry, and the SMS/OS expiration flag cleared; a pre-timeout NMI only when
// pretimeout is not 0.
static void build_set(BOOL dont_stop, WORD count, BYTE pretimeout, BYTE extra_clear,
                      BYTE data[ipmi::kSetRequestLength]) {
  ipmi::SetWatchdog set = {};
  set.use = ipmi::kUseSmsOs;
  set.dont_stop = dont_stop != FALSE;
  set.action = ipmi::kActionHardReset;
  set.pretimeout_interrupt = pretimeout ? ipmi::kPretimeoutNmi : ipmi::kPretimeoutNone;
  set.pretimeout_seconds = pretimeout;
  set.clear_flags = (BYTE)(ipmi::expiration_flag(ipmi::kUseSmsOs) | extra_clear);
  set.count = count;
  ipmi::build_set_watchdog(set, data);
}

int wd_disable(WatchdogSession session, RequestOutcome *outcome) {
  // The don't-stop bit clear: the Set stops the timer, and with no
  // pre-timeout it clears an enable's.
  BYTE data[ipmi::kSetRequestLength];
  build_set(FALSE, DISABLED_COUNT, 0, 0, data);
  BYTE response[RESPONSE_SIZE];
  if (send_command(session, ipmi::kCmdSetWatchdog, data, sizeof data, response, outcome) != 0) {
    trace("disable timer failed\n");
    return -1;
  }
  // Disarmed: a timer found running later is no longer this service's.
  timer_record_clear();
  return 0;
}

// A Set that arms the timer, with the don't-stop bit set: it leaves a stopped
// timer stopped until the next Reset. The count is seconds in units of 100 ms.
// Recorded before it is sent: a process that dies right after the Set has
// left a timer that its next start must know as its own.
static BOOL arm(WatchdogSession session, WORD seconds, const EnableSettings &settings,
                TimerRecordReason reason, RequestOutcome *outcome) {
  BYTE data[ipmi::kSetRequestLength];
  build_set(TRUE, (WORD)(seconds * (1000 / ipmi::kMsPerCount)), settings.pretimeout_seconds,
            settings.extra_clear_flags, data);
  if (reason == kArmedWhileRunning)
    tracef("enable WD, CmdData[4] = %x, CmdData[5] = %x \n", data[4], data[5]);
  timer_record_write(data, reason);
  BYTE response[RESPONSE_SIZE];
  return send_command(session, ipmi::kCmdSetWatchdog, data, sizeof data, response, outcome) == 0;
}

int wd_enable(WatchdogSession session, const EnableSettings &settings, RequestOutcome *outcome) {
  if (!arm(session, timeout_seconds, settings, kArmedWhileRunning, outcome)) {
    trace("enable timer failed\n");
    return -1;
  }
  return 0;
}

int wd_set_for_shutdown(WatchdogSession session, WORD seconds, BYTE extra_clear_flags,
                        RequestOutcome *outcome) {
  // No pre-timeout: an NMI during POST or an early boot would help nobody.
  EnableSettings no_pretimeout = {0, extra_clear_flags};
  if (!arm(session, seconds, no_pretimeout, kLeftForShutdown, outcome)) {
    trace("shutdown set failed\n");
    return -1;
  }
  return 0;
}

int wd_reset(WatchdogSession session, RequestOutcome *outcome) {
  // No request data; restarts the countdown from the initial count and starts
  // a stopped timer.
  BYTE response[RESPONSE_SIZE];
  if (send_command(session, ipmi::kCmdResetWatchdog, NULL, 0, response, outcome) != 0) {
    trace("reset timer failed\n");
    return -1;
  }
  return 0;
}

int wd_is_running(WatchdogSession session, RequestOutcome *outcome) {
  // The running bit of the timer use byte, the first reply data byte. A reply
  // without it fails the check: the zero-filled buffer would read "stopped".
  // Shorter replies than all eight bytes are fine (ipmi_sim sends six).
  BYTE response[RESPONSE_SIZE];
  RequestOutcome got;
  int result = send_command(session, ipmi::kCmdGetWatchdog, NULL, 0, response, &got);
  if (outcome) *outcome = got;
  if (result != 0 || got.length <= ipmi::kGetUse) {
    trace("checking timer ownership failed\n");
    return -1;
  }
  return (response[ipmi::kGetUse] & ipmi::kRunning) ? 1 : 0;
}

int wd_get_timer(WatchdogSession session, BYTE *reply, WORD size, RequestOutcome *outcome) {
  BYTE response[RESPONSE_SIZE];
  int result = send_command(session, ipmi::kCmdGetWatchdog, NULL, 0, response, outcome);
  memset(reply, 0, size);
  if (result != 0) {
    trace("checking timer ownership failed\n");
    return -1;
  }
  WORD length = outcome->length < size ? outcome->length : size;
  memcpy(reply, response, length);
  return 0;
}
