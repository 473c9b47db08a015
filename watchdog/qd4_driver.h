// The maker's IPMI driver library "vyrqd4w.dll": its four entries, their call
// shapes and their calling convention. Shared by the service, which loads the
// library at run time, and by our stand-in library, which exports them.
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
