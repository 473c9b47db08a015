// qd4probe: loads vyrqd4w.dll by name, as the service does, and drives its
// entries against a BMC, printing one line per call:
//   <step> rc=<status> cc=<completion code> len=<reply length> data=<hex> ms=<time>
// Modes: full (the watchdog sequence and the error paths), open (Open only),
// get (Open, Get Watchdog Timer, Close), drop (Open, Get, 1.5 s pause, Get,
// Close), expire (a 0.5 s hard-reset timer left to run out, then Get: the
// BMC's reset command arrives first and must be skipped), reconnect (Open, Set
// enable, then a Get every 250 ms on the same session until one has failed and
// two have succeeded since, or 30 s have passed). Exit code 2 when the library
// or an entry is missing, otherwise 0.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "watchdog/qd4_driver.h"

namespace {

OpenQD4DriverFn g_open;
CloseQD4DriverFn g_close;
SendQD4RequestFn g_send;
GetQD4VersionFn g_version;

// IPMI App netfn 06h, LUN 0, and the BMC's responder address 20h.
constexpr BYTE kNetfnApp = 0x18;
constexpr BYTE kBmcAddress = 0x20;
// IPMI 2.0 section 27.5, 27.6, 27.7: Reset, Set, Get Watchdog Timer.
constexpr BYTE kResetWatchdog = 0x22;
constexpr BYTE kSetWatchdog = 0x24;
constexpr BYTE kGetWatchdog = 0x25;

// IPMI 2.0 section 27.6 Set data: SMS/OS use with don't-stop (44h), hard
// reset, no pre-timeout, clear the SMS/OS flag, count 3000 x 100 ms.
const BYTE kEnable[] = {0x44, 0x01, 0x00, 0x10, 0xB8, 0x0B};
// The same without don't-stop (04h): the Set stops the timer.
const BYTE kDisable[] = {0x04, 0x01, 0x00, 0x10, 0x00, 0x0A};

void request(const char* step, WatchdogSession session, BYTE command, const BYTE* data, WORD length,
             WORD buffer_size = 64) {
  BYTE buffer[64];
  std::memset(buffer, 0, sizeof(buffer));
  WORD reply_length = buffer_size;
  BYTE cc = 0xFF;
  DWORD start = GetTickCount();
  DWORD rc =
      g_send(session, kNetfnApp, command, data, length, kBmcAddress, buffer, &reply_length, &cc, 0);
  DWORD ms = GetTickCount() - start;
  std::printf("%s rc=%lu cc=%02x len=%u data=", step, static_cast<unsigned long>(rc), cc,
              static_cast<unsigned>(reply_length));
  for (WORD i = 0; rc == 0 && i < reply_length && i < sizeof(buffer); ++i) {
    std::printf("%02x", buffer[i]);
  }
  std::printf(" ms=%lu\n", static_cast<unsigned long>(ms));
  std::fflush(stdout);
}

bool open(WatchdogSession* session) {
  DWORD start = GetTickCount();
  DWORD rc = g_open(session, 0);
  std::printf("open rc=%lu session=%lu ms=%lu\n", static_cast<unsigned long>(rc),
              static_cast<unsigned long>(*session),
              static_cast<unsigned long>(GetTickCount() - start));
  std::fflush(stdout);
  return rc == 0;
}

void close(const char* step, WatchdogSession session) {
  DWORD rc = g_close(session, 0);
  std::printf("%s rc=%lu\n", step, static_cast<unsigned long>(rc));
  std::fflush(stdout);
}

void run_full() {
  DWORD version = 0;
  DWORD rc = g_version(&version);
  std::printf("version rc=%lu value=%08lx\n", static_cast<unsigned long>(rc),
              static_cast<unsigned long>(version));
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("get-initial", session, kGetWatchdog, nullptr, 0);
  request("reset-before-set", session, kResetWatchdog, nullptr, 0);
  request("set-enable", session, kSetWatchdog, kEnable, sizeof(kEnable));
  request("get-armed", session, kGetWatchdog, nullptr, 0);
  request("reset", session, kResetWatchdog, nullptr, 0);
  request("get-running", session, kGetWatchdog, nullptr, 0);
  request("get-small-buffer", session, kGetWatchdog, nullptr, 0, 2);
  request("set-disable", session, kSetWatchdog, kDisable, sizeof(kDisable));
  request("get-stopped", session, kGetWatchdog, nullptr, 0);
  request("bad-session", session + 1000, kGetWatchdog, nullptr, 0);
  close("close", session);
  close("close-again", session);
  request("after-close", session, kGetWatchdog, nullptr, 0);
}

void run_get(bool pause_between) {
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("get", session, kGetWatchdog, nullptr, 0);
  if (pause_between) {
    Sleep(1500);
    request("get-after-pause", session, kGetWatchdog, nullptr, 0);
  }
  close("close", session);
}

void run_expire() {
  // IPMI 2.0 section 27.6: SMS/OS, hard reset, count 5 x 100 ms.
  const BYTE kShort[] = {0x04, 0x01, 0x00, 0x10, 0x05, 0x00};
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("set-short", session, kSetWatchdog, kShort, sizeof(kShort));
  request("reset", session, kResetWatchdog, nullptr, 0);
  Sleep(1500);
  request("get-expired", session, kGetWatchdog, nullptr, 0);
  close("close", session);
}

// Rides through a BMC restart the script makes: Gets fail while it is away,
// then succeed again on the same handle.
void run_reconnect() {
  WatchdogSession session = 0;
  if (!open(&session)) return;
  request("set-enable", session, kSetWatchdog, kEnable, sizeof(kEnable));
  int failed = 0;
  int ok_after = 0;
  DWORD start = GetTickCount();
  for (int i = 0; ok_after < 2 && GetTickCount() - start < 30000; ++i) {
    BYTE buffer[64];
    WORD reply_length = sizeof(buffer);
    BYTE cc = 0xFF;
    DWORD t0 = GetTickCount();
    DWORD rc = g_send(session, kNetfnApp, kGetWatchdog, nullptr, 0, kBmcAddress, buffer,
                      &reply_length, &cc, 0);
    std::printf("poll-%d session=%lu rc=%lu cc=%02x data=", i, static_cast<unsigned long>(session),
                static_cast<unsigned long>(rc), cc);
    for (WORD k = 0; rc == 0 && k < reply_length; ++k) std::printf("%02x", buffer[k]);
    std::printf(" ms=%lu\n", static_cast<unsigned long>(GetTickCount() - t0));
    std::fflush(stdout);
    if (rc != 0) ++failed;
    if (rc == 0 && failed > 0) ++ok_after;
    Sleep(250);
  }
  close("close", session);
}

template <typename T>
bool resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out == nullptr) std::printf("missing entry %s\n", name);
  return *out != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "full";
  HMODULE module = LoadLibraryA(QD4_LIBRARY_NAME);
  if (module == nullptr) {
    std::printf("LoadLibraryA(%s) failed: %lu\n", QD4_LIBRARY_NAME,
                static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  if (!resolve(module, QD4_OPEN_NAME, &g_open) || !resolve(module, QD4_CLOSE_NAME, &g_close) ||
      !resolve(module, QD4_SEND_NAME, &g_send) || !resolve(module, QD4_VERSION_NAME, &g_version)) {
    return 2;
  }
  if (std::strcmp(mode, "open") == 0) {
    WatchdogSession session = 0;
    if (open(&session)) close("close", session);
  } else if (std::strcmp(mode, "get") == 0) {
    run_get(false);
  } else if (std::strcmp(mode, "drop") == 0) {
    run_get(true);
  } else if (std::strcmp(mode, "expire") == 0) {
    run_expire();
  } else if (std::strcmp(mode, "reconnect") == 0) {
    run_reconnect();
  } else {
    run_full();
  }
  FreeLibrary(module);
  return 0;
}
