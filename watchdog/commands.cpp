#include "watchdog/commands.h"

#include <string.h>

#include "service/trace.h"
#include "watchdog/driver_library.h"

WORD timeout_seconds = 255;

// IPMI 2.0 section 20.1: NetFn Application (06h) in bits 7..2, LUN 00b.
#define NETFN_APP_LUN0 0x18
// IPMI 2.0 section 5.1: the BMC's slave address.
#define BMC_RESPONDER 0x20
// IPMI 2.0 sections 27.5 to 27.7.
#define CMD_RESET_WATCHDOG 0x22
#define CMD_SET_WATCHDOG 0x24
#define CMD_GET_WATCHDOG 0x25
#define RESPONSE_SIZE 64

static RequestOutcome last_outcome;

RequestOutcome last_request_outcome(void) { return last_outcome; }

DWORD request_error_code(RequestOutcome outcome) {
  if (!outcome.sent) return ERROR_PROC_NOT_FOUND;
  if (outcome.status != 0) return ERROR_TIMEOUT;
  return ERROR_IO_DEVICE;
}

// One request; 0 when the call returns 0 and the completion code reads 0.
static int send_command(WatchdogSession session, BYTE command, const BYTE *data, WORD length,
                        BYTE *response) {
  memset(response, 0, RESPONSE_SIZE);
  WORD response_length = RESPONSE_SIZE;
  BYTE completion_code = 0xFF;
  last_outcome = RequestOutcome{FALSE, 0, 0xFF};
  if (!qd4_send) return -1;
  DWORD status = qd4_send(session, NETFN_APP_LUN0, command, data, length, BMC_RESPONDER, response,
                          &response_length, &completion_code, 0);
  last_outcome = RequestOutcome{TRUE, status, completion_code};
  return status == 0 && completion_code == 0 ? 0 : -1;
}

int wd_disable(WatchdogSession session) {
  // Set Watchdog Timer, IPMI 2.0 section 27.6:
  //   byte 1: timer use SMS/OS (4), don't-stop bit 6 clear, so the Set stops the timer;
  //   byte 2: on expiry hard reset (1), no pre-timeout interrupt;
  //   byte 3: pre-timeout interval 0;
  //   byte 4: clear the SMS/OS expiration flag (bit 4);
  //   bytes 5, 6: initial count 0x0A00 (256 s), used only if a Reset starts it again.
  const BYTE data[6] = {0x04, 0x01, 0x00, 0x10, 0x00, 0x0A};
  BYTE response[RESPONSE_SIZE];
  if (send_command(session, CMD_SET_WATCHDOG, data, sizeof data, response) != 0) {
    trace("disable timer failed\n");
    return -1;
  }
  return 0;
}

int wd_enable(WatchdogSession session) {
  // Set Watchdog Timer, IPMI 2.0 section 27.6, as in wd_disable but with the
  // don't-stop bit 6 set (the Set leaves a stopped timer stopped until the
  // next Reset) and the count timeout_seconds x 10 in units of 100 ms.
  WORD count = (WORD)(timeout_seconds * 10);
  const BYTE data[6] = {0x44, 0x01, 0x00, 0x10, (BYTE)(count & 0xFF), (BYTE)(count >> 8)};
  tracef("enable WD, CmdData[4] = %x, CmdData[5] = %x \n", data[4], data[5]);
  BYTE response[RESPONSE_SIZE];
  if (send_command(session, CMD_SET_WATCHDOG, data, sizeof data, response) != 0) {
    trace("enable timer failed\n");
    return -1;
  }
  return 0;
}

int wd_reset(WatchdogSession session) {
  // Reset Watchdog Timer, IPMI 2.0 section 27.5: no request data; restarts
  // the countdown from the initial count and starts a stopped timer.
  BYTE response[RESPONSE_SIZE];
  if (send_command(session, CMD_RESET_WATCHDOG, NULL, 0, response) != 0) {
    trace("reset timer failed\n");
    return -1;
  }
  return 0;
}

int wd_is_running(WatchdogSession session) {
  // Get Watchdog Timer, IPMI 2.0 section 27.7: bit 6 of the timer use byte,
  // the first response data byte, is set while the timer runs.
  BYTE response[RESPONSE_SIZE];
  if (send_command(session, CMD_GET_WATCHDOG, NULL, 0, response) != 0) {
    trace("checking timer ownership failed\n");
    return -1;
  }
  return (response[0] >> 6) & 1;
}
