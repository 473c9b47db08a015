// The maker's IPMI driver library "vyrqd4w.dll": its four entries, their call
// shapes, their calling convention and our stand-in's status codes. Shared by
// the service, which loads the library at run time, the installer's probe, our
// stand-in library, which exports them, its probe tool and the fakes.
#pragma once

#include <windows.h>

#define QD4_LIBRARY_NAME "vyrqd4w.dll"

// The entries are exported undecorated under exactly these names.
#define QD4_OPEN_NAME "OpenQD4Driver"
#define QD4_CLOSE_NAME "CloseQD4Driver"
#define QD4_SEND_NAME "SendQD4Request"
#define QD4_VERSION_NAME "GetQD4Version"

// Opaque session handle produced by OpenQD4Driver; 0 means no session.
typedef DWORD WatchdogSession;

// Every entry returns 0 for success and anything else for failure.
typedef DWORD(WINAPI *OpenQD4DriverFn)(WatchdogSession *session, DWORD reserved);
typedef DWORD(WINAPI *CloseQD4DriverFn)(WatchdogSession session, DWORD reserved);
// The response buffer receives the response data without the completion
// code, which goes to *completion_code.
typedef DWORD(WINAPI *SendQD4RequestFn)(WatchdogSession session, BYTE netfn_lun, BYTE command,
                                        const BYTE *request_data, WORD request_length,
                                        BYTE responder_address, BYTE *response_buffer,
                                        WORD *response_length, BYTE *completion_code,
                                        DWORD reserved);
typedef DWORD(WINAPI *GetQD4VersionFn)(DWORD *version);

namespace qd4 {

// Status codes of our stand-in library's entries; 0 is success, and the
// service treats any other value as "no reply". driverlib/README.md says what
// each means for each transport; the maker's library may answer others.
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

}  // namespace qd4
