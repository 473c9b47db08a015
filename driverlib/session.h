// One connection to the BMC's VM-protocol port: the system-interface side.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include "driverlib/settings.h"
#include "vmproto/vm_codec.h"

namespace qd4 {

// Status codes of the library's entries; 0 is success.
enum Status : DWORD {
  kOk = 0,
  kBadArgument = 1,
  kUnknownSession = 2,
  kConnectFailed = 3,
  kSendFailed = 4,
  kReplyTimeout = 5,
  kConnectionLost = 6,
  kNoResources = 7,
};

class Session {
 public:
  explicit Session(const Settings& settings);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects within the connect bound and announces version and capabilities.
  DWORD open();
  // One request and its reply, serialised with other callers of this session.
  DWORD transact(BYTE netfn_lun, BYTE command, const BYTE* data, WORD length, BYTE* buffer,
                 WORD* buffer_length, BYTE* completion_code);

 private:
  bool send_all(const BYTE* bytes, size_t n);
  // Waits for the reply to seq/command until the deadline (GetTickCount).
  DWORD await_reply(BYTE seq, BYTE command, DWORD deadline, BYTE* buffer, WORD* buffer_length,
                    BYTE* completion_code);

  Settings settings_;
  SOCKET socket_ = INVALID_SOCKET;
  bool broken_ = false;
  BYTE next_seq_ = 1;
  vmproto::Decoder decoder_;
  CRITICAL_SECTION lock_;
};

}  // namespace qd4
