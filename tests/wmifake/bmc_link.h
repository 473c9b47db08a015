// The fake driver's side of the VM protocol: one TCP connection to bmcsim,
// shared by every call in the process, opened on first use and again after
// it broke or the settings moved it to another port.
#pragma once

#include <windows.h>

#include "fake_settings.h"

namespace wmifake {

enum class LinkResult { kOk, kConnectFailed, kTimeout, kLost };

struct BmcReply {
  BYTE completion_code = 0;
  BYTE data[272];
  size_t length = 0;
};

// One request to the BMC and its reply, serialised with other callers.
LinkResult bmc_transact(const Settings& settings, BYTE netfn, BYTE lun, BYTE command,
                        const BYTE* data, size_t length, BmcReply* reply);

}  // namespace wmifake
