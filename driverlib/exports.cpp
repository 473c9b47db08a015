// The four entries of vyrqd4w.dll and the table of open sessions.
#include <windows.h>

#include <cstring>
#include <new>
#include <type_traits>

#include "driverlib/settings.h"
#include "driverlib/settings_file.h"
#include "driverlib/transport.h"
#include "qd4/qd4_driver.h"

namespace {

// Reported by GetQD4Version: major in the high word, minor in the low word.
constexpr DWORD kLibraryVersion = 0x00010000;

constexpr int kMaxSessions = 16;

struct Slot {
  WatchdogSession handle = 0;
  qd4::Transport* session = nullptr;
  int users = 0;         // callers inside SendQD4Request
  bool closing = false;  // CloseQD4Driver waits for users to leave
};

CRITICAL_SECTION g_table_lock;
Slot g_slots[kMaxSessions];
WatchdogSession g_next_handle = 1;
HMODULE g_module = nullptr;

// Reads vyrqd4w.ini from the DLL's own folder; a missing file keeps the
// defaults. False when the file is there but has a line that cannot be used:
// a server must not quietly reach its BMC another way than its settings say.
bool load_settings(qd4::Settings* settings) {
  char path[MAX_PATH];
  if (!qd4::settings_path(g_module, path, sizeof(path))) return true;
  int bad_line = 0;
  qd4::SettingsFile file = qd4::read_settings_file(path, settings, &bad_line);
  return file == qd4::SettingsFile::kAbsent || (file == qd4::SettingsFile::kRead && bad_line == 0);
}

// The slot of an open session that is not closing, or -1; with the table
// lock held.
int find_open_slot(WatchdogSession handle) {
  for (int i = 0; i < kMaxSessions && handle != 0; ++i) {
    if (g_slots[i].handle == handle && !g_slots[i].closing) return i;
  }
  return -1;
}

// Finds the open session for handle and counts the caller in; null if none.
qd4::Transport* acquire(WatchdogSession handle, int* slot_index) {
  qd4::Transport* found = nullptr;
  EnterCriticalSection(&g_table_lock);
  int i = find_open_slot(handle);
  if (i >= 0) {
    ++g_slots[i].users;
    found = g_slots[i].session;
    *slot_index = i;
  }
  LeaveCriticalSection(&g_table_lock);
  return found;
}

void release(int slot_index) {
  EnterCriticalSection(&g_table_lock);
  --g_slots[slot_index].users;
  LeaveCriticalSection(&g_table_lock);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    InitializeCriticalSection(&g_table_lock);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    DeleteCriticalSection(&g_table_lock);
  }
  return TRUE;
}

DWORD WINAPI OpenQD4Driver(WatchdogSession* session, DWORD reserved) {
  (void)reserved;
  if (session == nullptr) return qd4::kBadArgument;
  *session = 0;
  qd4::Settings settings;
  if (!load_settings(&settings)) return qd4::kBadSettings;
  qd4::Transport* s = qd4::make_transport(settings);
  if (s == nullptr) return qd4::kNoResources;
  DWORD status = s->open();
  if (status != qd4::kOk) {
    delete s;
    return status;
  }
  EnterCriticalSection(&g_table_lock);
  int free_slot = -1;
  for (int i = 0; i < kMaxSessions; ++i) {
    if (g_slots[i].handle == 0) {
      free_slot = i;
      break;
    }
  }
  WatchdogSession handle = 0;
  if (free_slot >= 0) {
    handle = g_next_handle++;
    if (g_next_handle == 0) g_next_handle = 1;
    g_slots[free_slot].handle = handle;
    g_slots[free_slot].session = s;
    g_slots[free_slot].users = 0;
    g_slots[free_slot].closing = false;
  }
  LeaveCriticalSection(&g_table_lock);
  if (handle == 0) {
    delete s;
    return qd4::kNoResources;
  }
  *session = handle;
  return qd4::kOk;
}

DWORD WINAPI CloseQD4Driver(WatchdogSession session, DWORD reserved) {
  (void)reserved;
  EnterCriticalSection(&g_table_lock);
  int index = find_open_slot(session);
  if (index >= 0) g_slots[index].closing = true;
  LeaveCriticalSection(&g_table_lock);
  if (index < 0) return qd4::kUnknownSession;

  // A request in flight ends within its reply bound; wait for it to leave.
  for (;;) {
    EnterCriticalSection(&g_table_lock);
    bool idle = g_slots[index].users == 0;
    qd4::Transport* s = g_slots[index].session;
    if (idle) {
      g_slots[index] = Slot();
    }
    LeaveCriticalSection(&g_table_lock);
    if (idle) {
      delete s;
      return qd4::kOk;
    }
    Sleep(10);
  }
}

DWORD WINAPI SendQD4Request(WatchdogSession session, BYTE netfn_lun, BYTE command,
                            const BYTE* request_data, WORD request_length, BYTE responder_address,
                            BYTE* response_buffer, WORD* response_length, BYTE* completion_code,
                            DWORD reserved) {
  (void)responder_address;  // one BMC behind the port
  (void)reserved;
  if (response_length == nullptr || completion_code == nullptr ||
      (request_length > 0 && request_data == nullptr) ||
      (*response_length > 0 && response_buffer == nullptr)) {
    return qd4::kBadArgument;
  }
  int index = -1;
  qd4::Transport* s = acquire(session, &index);
  if (s == nullptr) return qd4::kUnknownSession;
  DWORD status = s->transact(netfn_lun, command, request_data, request_length, response_buffer,
                             response_length, completion_code);
  release(index);
  return status;
}

DWORD WINAPI GetQD4Version(DWORD* version) {
  if (version == nullptr) return qd4::kBadArgument;
  *version = kLibraryVersion;
  return qd4::kOk;
}

}  // extern "C"

// The entries must match the call shapes the service binds to.
static_assert(std::is_same<decltype(&OpenQD4Driver), OpenQD4DriverFn>::value, "OpenQD4Driver");
static_assert(std::is_same<decltype(&CloseQD4Driver), CloseQD4DriverFn>::value, "CloseQD4Driver");
static_assert(std::is_same<decltype(&SendQD4Request), SendQD4RequestFn>::value, "SendQD4Request");
static_assert(std::is_same<decltype(&GetQD4Version), GetQD4VersionFn>::value, "GetQD4Version");
