// One connection to the BMC's VM-protocol port: the system-interface side.
// A lost connection is made again by the next request, so a session outlives
// a BMC restart as it would with a real system-interface driver.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include "driverlib/settings.h"
#include "driverlib/transport.h"
#include "vmproto/vm_codec.h"

namespace qd4 {

class VmTransport : public Transport {
 public:
  explicit VmTransport(const Settings& settings);
  ~VmTransport() override;
  VmTransport(const VmTransport&) = delete;
  VmTransport& operator=(const VmTransport&) = delete;

  // Connects within the connect bound and announces version and capabilities.
  DWORD open() override;
  // One request and its reply, serialised with other callers. Without a
  // connection (lost earlier), first one attempt to connect again.
  DWORD transact(BYTE netfn_lun, BYTE command, const BYTE* data, WORD length, BYTE* buffer,
                 WORD* buffer_length, BYTE* completion_code) override;

 private:
  DWORD connect_once();
  void disconnect();
  // True when the BMC closed the connection since the last request; bytes it
  // sent meanwhile (stale replies, its hardware commands) are read and dropped,
  // up to a budget and not past the deadline (GetTickCount).
  bool peer_closed(DWORD deadline);
  bool send_all(const BYTE* bytes, size_t n);
  // Waits until the deadline for the response to the request seq, netfn_lun
  // and command.
  DWORD await_reply(BYTE seq, BYTE netfn_lun, BYTE command, DWORD deadline, BYTE* buffer,
                    WORD* buffer_length, BYTE* completion_code);

  Settings settings_;
  bool winsock_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  BYTE next_seq_ = 1;
  vmproto::Decoder decoder_;
  CRITICAL_SECTION lock_;
};

}  // namespace qd4
