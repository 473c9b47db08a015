// Fake <sddl.h>: SIDs to and from their "S-1-5-18" form; both LocalAlloc.
#pragma once

#include <windows.h>

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR *text);
BOOL WINAPI ConvertStringSidToSidA(LPCSTR text, PSID *sid);
