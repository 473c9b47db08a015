// The fake driver's side of the VM protocol: the library's VM transport, one
// for every call in the process, made on first use and again after the
// settings moved it to another port or reply timeout.
#pragma once

#include <windows.h>

#include "driverlib/transport.h"
#include "fake_settings.h"

namespace wmifake {

struct BmcReply {
  BYTE completion_code = 0;
  BYTE data[272];
  size_t length = 0;
};

// One request to the BMC and its reply, serialised with other callers.
// Returns the library's status (qd4::kOk, qd4::kReplyTimeout ...).
DWORD bmc_transact(const Settings& settings, BYTE netfn, BYTE lun, BYTE command, const BYTE* data,
                   size_t length, BmcReply* reply);

}  // namespace wmifake
