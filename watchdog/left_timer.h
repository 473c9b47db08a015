// The timer the service left running when it ended without disarming it (a
// crash, a refused disable, a shutdown), found by a removal: with the service
// gone, nothing would feed it, and the BMC would reset a healthy server.
#pragma once

#include <windows.h>

enum LeftTimer {
  kNoTimerLeft,        // no record, or the recorded timer is not running
  kLeftTimerDisarmed,  // it was running and is disarmed now
  kLeftTimerNotOurs,   // a running timer that the record does not describe: left alone
  kLeftTimerFailed,    // the library, the session or the BMC failed: *error says why
};

// With the service not running: reads the record, and when the BMC's timer
// runs as recorded, disarms it (which clears the record). A record of a timer
// that no longer runs is cleared. Loads the library from the system folder
// and unloads it again.
LeftTimer disarm_left_timer(DWORD *error);
