// Fake <lm.h>: the local groups of a user, from the fake's account table.
#pragma once

#include <windows.h>

typedef DWORD NET_API_STATUS;
#define NERR_Success 0
#define NERR_UserNotFound 2221
#define LG_INCLUDE_INDIRECT 0x0001
#define MAX_PREFERRED_LENGTH ((DWORD)-1)

typedef struct _LOCALGROUP_USERS_INFO_0 {
  LPWSTR lgrui0_name;
} LOCALGROUP_USERS_INFO_0;

NET_API_STATUS WINAPI NetUserGetLocalGroups(LPCWSTR server, LPCWSTR user, DWORD level, DWORD flags,
                                            LPBYTE *buffer, DWORD max_length, LPDWORD entries,
                                            LPDWORD total);
NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer);
