// Windows' own IPMI driver (ipmidrv.sys), reached through WMI: the class
// Microsoft_IPMI in root\WMI and its method RequestResponse. There is no
// connection to lose; a driver that stalls is bounded by reply_timeout_ms.
#pragma once

#include <windows.h>

#include "driverlib/settings.h"
#include "driverlib/transport.h"

namespace qd4 {

struct InboxChannel;

class InboxTransport : public Transport {
 public:
  explicit InboxTransport(const Settings& settings);
  ~InboxTransport() override;
  InboxTransport(const InboxTransport&) = delete;
  InboxTransport& operator=(const InboxTransport&) = delete;

  // Starts the library's COM thread and waits (bounded) for it to find the
  // driver's active instance: kDriverAbsent, kAccessDenied or kWmiFailed
  // when it cannot.
  DWORD open() override;
  // Hands the request to the COM thread and waits at most reply_timeout_ms.
  // After a request that overran, calls fail at once with kReplyTimeout
  // until the stalled one has returned.
  DWORD transact(BYTE netfn_lun, BYTE command, const BYTE* data, WORD length, BYTE* buffer,
                 WORD* buffer_length, BYTE* completion_code) override;

 private:
  Settings settings_;
  // Shared with the COM thread, which may outlive this object while a stalled
  // call has not returned; the last of the two to let go frees it.
  InboxChannel* channel_ = nullptr;
  HANDLE thread_ = nullptr;
  CRITICAL_SECTION call_lock_;
};

}  // namespace qd4
