// How one session of the library reaches the BMC. Each way has a file of its
// own: vm_transport.cpp (OpenIPMI's VM protocol over TCP, to a simulator) and
// inbox_transport.cpp (Windows' own IPMI driver through WMI).
#pragma once

#include <windows.h>

#include "driverlib/settings.h"

namespace qd4 {

// Status codes of the library's entries; 0 is success. driverlib/README.md
// says what each means for each transport.
enum Status : DWORD {
  kOk = 0,
  kBadArgument = 1,
  kUnknownSession = 2,
  kConnectFailed = 3,
  kSendFailed = 4,
  kReplyTimeout = 5,
  kConnectionLost = 6,
  kNoResources = 7,
  kDriverAbsent = 8,
  kAccessDenied = 9,
  kWmiFailed = 10,
  kBadSettings = 11,
};

class Transport {
 public:
  virtual ~Transport() {}
  // Reaches the BMC (or its driver) once; a failure here fails OpenQD4Driver.
  virtual DWORD open() = 0;
  // One request and its reply. The reply data without the completion code is
  // copied up to *buffer_length bytes, and the count copied written back.
  // Calls on one transport may come from several threads.
  virtual DWORD transact(BYTE netfn_lun, BYTE command, const BYTE* data, WORD length, BYTE* buffer,
                         WORD* buffer_length, BYTE* completion_code) = 0;
};

// The transport the settings choose; null when out of memory.
Transport* make_transport(const Settings& settings);

}  // namespace qd4
