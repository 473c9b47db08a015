// Fake <aclapi.h>: reading a named object's owner and access list.
#pragma once

#include <windows.h>

typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1 } SE_OBJECT_TYPE;

// Returns a Win32 error (not the last error). The descriptor is LocalAlloc'd;
// owner and dacl point into it. A null *dacl grants everyone everything.
DWORD WINAPI GetNamedSecurityInfoA(LPCSTR object_name, SE_OBJECT_TYPE object_type,
                                   SECURITY_INFORMATION what, PSID *owner, PSID *group, PACL *dacl,
                                   PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);
