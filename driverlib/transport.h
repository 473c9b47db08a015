// How one session of the library reaches the BMC. Each way has a file of its
// own: vm_transport.cpp (OpenIPMI's VM protocol over TCP, to a simulator) and
// inbox_transport.cpp (Windows' own IPMI driver through WMI).
#pragma once

#include <windows.h>

#include "driverlib/settings.h"
#include "qd4/qd4_driver.h"

namespace qd4 {

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
